// The greeting runs across the top of the screen, 66 characters at a time, hopping
// between rows 2 and 3 every 40 frames and playing a note on each hop.
#include <string>

#include "demo.h"
#include "doorkit/door.h"

// Kept free of "|" and backticks, which the door output may take for colour codes.
constexpr std::string_view TOP_SCROLL_MESSAGE =
    "*** "
    "GREETINGS FROM THE KELVARRA *** "
    "WELCOME TO VANTORAMA, A LITTLE DOOR THAT PAINTS WHILE THE MODEM LIGHTS BLINK *** "
    "HELLO TO EVERY SYSOP WHO KEEPS A NODE RUNNING THROUGH THE NIGHT *** "
    "A WAVE TO THE ART PACKS: THE INK BLOTS, THE HALFBLOCK CREW AND THE QUIET ONES *** "
    "SALUTES TO THE CODERS OF DOORS, EDITORS AND MAILERS WHO HOLD IT ALL TOGETHER *** "
    "THANKS TO THE HUBS THAT MOVE OUR ECHOMAIL ONE PACKET AT A TIME *** "
    "RESPECT TO THE ANSI ARTISTS: EVERY BLOCK PLACED BY HAND MAKES A BOARD A HOME *** "
    "HI TO THE CALLERS WHO STILL READ THE BULLETINS BEFORE THE FILE AREAS *** "
    "GREETINGS TO THE SPACE LANE CAPTAINS AND ALL WHO PLAY THEIR TURNS EACH DAY *** "
    "A NOD TO THE TELNET CROWD: NO MORE BUSY SIGNALS, SAME OLD MAGIC *** "
    "CHEERS TO THE MUSICIANS WHO MAKE A TUNE OUT OF A FEW NOTES OF ANSI MUSIC *** "
    "HELLO NORTH, SOUTH, EAST AND WEST - KEEP LINES OPEN *** "
    "CODED IN 2025 WITH A FIXED FONT AND FAR TOO MUCH TEA *** "
    "IF YOU CAN READ THIS, YOUR TERMINAL IS FINE - PRESS ESC OR Q TO LEAVE *** "
    "KEEP CALLING, KEEP POSTING, KEEP THE SCENE ALIVE - SEE YOU ON THE BOARDS! *** ";
// The scroller wraps with a single subtraction, so the text must be at least one screen wide.
static_assert(TOP_SCROLL_MESSAGE.size() >= 66);

namespace {

constexpr int32_t SCREEN_WIDTH = 78;
constexpr int32_t VISIBLE_WIDTH = SCREEN_WIDTH - 12;
constexpr int32_t LEFT_COLUMN = 1 + 6;
constexpr int32_t ROW_CHANGE_FRAMES = 40;

void BlankRow(int32_t ARow) {
  DoorGotoXY(LEFT_COLUMN, static_cast<uint8_t>(ARow));
  DoorTextBackground(0);
  DoorWrite(std::string(VISIBLE_WIDTH, ' '));
}

}  // namespace

void UpdateTopScroll() {
  const int32_t L = static_cast<int32_t>(TOP_SCROLL_MESSAGE.size());
  bool RowChanged = false;
  if (++TopScrollJumpCount >= ROW_CHANGE_FRAMES) {
    TopScrollY = (TopScrollY == 2) ? 3 : 2;
    TopScrollJumpCount = 0;
    RowChanged = true;
  }
  const int32_t Row = TopScrollY;
  const int32_t OtherRow = (Row == 2) ? 3 : 2;
  BlankRow(OtherRow);
  BlankRow(Row);

  // Every other frame, so the text moves at half the frame rate.
  if (TickCount % 2 == 0 && ++TopScrollPos > L) TopScrollPos = 1;

  // The colour is set per character, but the line goes out in one piece afterwards,
  // so the caller sees it all in the last colour set.
  std::string Line;
  Line.reserve(VISIBLE_WIDTH);
  for (int32_t I = 0; I < VISIBLE_WIDTH; ++I) {
    DoorTextColour(static_cast<uint8_t>((TopScrollPos + I) % 15 + 1));
    DoorTextBackground(0);
    int32_t Index = TopScrollPos + I;
    if (Index > L) Index -= L;
    Line += TOP_SCROLL_MESSAGE[static_cast<size_t>(Index - 1)];
  }
  DoorGotoXY(LEFT_COLUMN, static_cast<uint8_t>(Row));
  DoorWrite(Line);

  if (RowChanged && UseAnsiMusic) PlayMelodyNote();
}
