// The backdrop, drawn once before the first frame (an optional sixel picture under a
// framed title, the box the centre text moves in and a credit line), and the melody.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "demo.h"
#include "doorkit/door.h"

std::string CenteredText;

const TMelodyNote MELODY[MELODY_LENGTH] = {
    {"C", "4", "16"}, {"E", "4", "16"}, {"G", "4", "16"}, {"A", "4", "16"},
    {"G", "4", "16"}, {"E", "4", "16"}, {"C", "4", "16"}, {"E", "4", "16"},
    {"D", "4", "16"}, {"F", "4", "16"}, {"A", "4", "16"}, {"B", "4", "16"},
    {"A", "4", "16"}, {"F", "4", "16"}, {"D", "4", "16"}, {"F", "4", "16"},
    {"E", "3", "16"}, {"G", "3", "16"}, {"B", "3", "16"}, {"C", "4", "16"},
    {"B", "3", "16"}, {"G", "3", "16"}, {"E", "3", "16"}, {"G", "3", "16"},
    {"A", "4", "16"}, {"G", "4", "16"}, {"F", "4", "16"}, {"E", "4", "16"},
    {"D", "4", "16"}, {"C", "4", "16"}, {"B", "3", "16"}, {"A", "3", "16"},
    {"C", "4", "16"}, {"D", "4", "16"}, {"E", "4", "16"}, {"G", "4", "16"},
    {"A", "4", "16"}, {"C", "5", "16"}, {"A", "4", "16"}, {"G", "4", "16"},
    {"F", "4", "16"}, {"A", "4", "16"}, {"C", "5", "16"}, {"F", "4", "16"},
    {"A", "4", "16"}, {"C", "5", "16"}, {"F", "4", "16"}, {"D", "4", "16"},
    {"E", "4", "16"}, {"G", "4", "16"}, {"B", "4", "16"}, {"E", "5", "16"},
    {"B", "4", "16"}, {"G", "4", "16"}, {"E", "4", "16"}, {"B", "3", "16"},
    {"C", "4", "16"}, {"E", "4", "16"}, {"G", "4", "16"}, {"C", "5", "16"},
    {"G", "4", "16"}, {"E", "4", "16"}, {"C", "4", "16"}, {"C", "4", "16"},
};

namespace {

constexpr int32_t SCREEN_WIDTH = 78;
constexpr int32_t SCREEN_HEIGHT = 23;
constexpr int32_t OFFSET_X = 1;
constexpr char CREDIT_TEXT[] = "BBS Demo by Maelgrin - April 2025 - Press ESC or Q to exit";

// Code page 437 box pieces.
constexpr char DOUBLE_TOP_LEFT = '\xC9';
constexpr char DOUBLE_TOP_RIGHT = '\xBB';
constexpr char DOUBLE_BOTTOM_LEFT = '\xC8';
constexpr char DOUBLE_BOTTOM_RIGHT = '\xBC';
constexpr char DOUBLE_HORIZONTAL = '\xCD';
constexpr char DOUBLE_VERTICAL = '\xBA';
constexpr char SINGLE_TOP_LEFT = '\xDA';
constexpr char SINGLE_TOP_RIGHT = '\xBF';
constexpr char SINGLE_BOTTOM_LEFT = '\xC0';
constexpr char SINGLE_BOTTOM_RIGHT = '\xD9';
constexpr char SINGLE_HORIZONTAL = '\xC4';
constexpr char SINGLE_VERTICAL = '\xB3';

constexpr char PICTURE[] = "vortex.sixel";

bool Readable(const std::string &APath) {
  std::FILE *File = std::fopen(APath.c_str(), "rb");
  if (!File) return false;
  // A folder opens, but reads nothing.
  char Byte;
  const bool Ok = std::fread(&Byte, 1, 1, File) == 1;
  std::fclose(File);
  return Ok;
}

// The folder the door's binary lies in, from the kernel rather than argv[0], which a board
// may give as a bare name.
std::string BinaryFolder() {
  char Path[4096];
  const ssize_t N = readlink("/proc/self/exe", Path, sizeof Path - 1);
  if (N <= 0) return {};
  const std::string Exe(Path, static_cast<size_t>(N));
  return Exe.substr(0, Exe.rfind('/') + 1);
}

// The picture: in the folder the door starts in, else where an install put it, beside the
// binary (../share/vantorama) or in the data folder it was built for. Where none can be
// read, the name alone, so the caller is told it is missing.
std::string FindPicture() {
  std::vector<std::string> Places{PICTURE};
  const std::string Bin = BinaryFolder();
  if (!Bin.empty()) Places.push_back(Bin + "../share/vantorama/" + PICTURE);
#ifdef VANTORAMA_DATA_DIR
  Places.push_back(std::string(VANTORAMA_DATA_DIR) + "/" + PICTURE);
#endif
  for (const std::string &Place : Places)
    if (Readable(Place)) return Place;
  return PICTURE;
}

void WriteAt(int32_t AX, int32_t AY, std::string_view AText) {
  DoorGotoXY(static_cast<uint8_t>(AX), static_cast<uint8_t>(AY));
  DoorWrite(AText);
}

void OuterFrame() {
  const std::string Line(SCREEN_WIDTH - 2, DOUBLE_HORIZONTAL);
  DoorTextBackground(0);
  DoorTextColour(15);
  WriteAt(2, 1, std::string(1, DOUBLE_TOP_LEFT));
  WriteAt(3, 1, Line);
  WriteAt(79, 1, std::string(1, DOUBLE_TOP_RIGHT));
  WriteAt(2, SCREEN_HEIGHT, std::string(1, DOUBLE_BOTTOM_LEFT));
  WriteAt(3, SCREEN_HEIGHT, Line);
  WriteAt(79, SCREEN_HEIGHT, std::string(1, DOUBLE_BOTTOM_RIGHT));
  const std::string Side(1, DOUBLE_VERTICAL);
  for (int32_t Row = 2; Row <= SCREEN_HEIGHT - 1; ++Row) {
    DoorGotoXY(2, static_cast<uint8_t>(Row));
    DoorTextBackground(0);
    DoorTextColour(15);
    DoorWrite(Side);
    WriteAt(79, Row, Side);
  }
}

void InnerBox() {
  const std::string Line(60, SINGLE_HORIZONTAL);
  DoorTextBackground(0);
  DoorTextColour(14);
  WriteAt(9, 4, SINGLE_TOP_LEFT + Line + SINGLE_TOP_RIGHT);
  WriteAt(9, 19, SINGLE_BOTTOM_LEFT + Line + SINGLE_BOTTOM_RIGHT);
  const std::string Side(1, SINGLE_VERTICAL);
  for (int32_t Row = 5; Row <= 18; ++Row) {
    DoorGotoXY(9, static_cast<uint8_t>(Row));
    DoorTextBackground(0);
    DoorTextColour(14);
    DoorWrite(Side);
    WriteAt(70, Row, Side);
  }
}

}  // namespace

void LoadBackground() {
  DoorClrScr();
  if (UseSixel) {
    // The kit reports a missing picture to the caller alone, and waits for a key; the
    // report goes then, so the caller's screen is the sysop's again.
    const std::string Picture = FindPicture();
    const bool Found = Readable(Picture);
    DoorGotoXY(1, 1);
    DoorDisplaySixel(Picture);
    if (!Found) DoorClrScr();
  }
  OuterFrame();

  // Centred on a fixed width of 20, whatever the title's own length.
  DoorTextBackground(0);
  DoorTextColour(15);
  WriteAt((SCREEN_WIDTH - 20) / 2 + OFFSET_X + 1, 1, " THE KELVARRA ");

  InnerBox();

  DoorTextBackground(0);
  DoorTextColour(15);
  CenteredText = CREDIT_TEXT;
  WriteAt((SCREEN_WIDTH - static_cast<int32_t>(CenteredText.size())) / 2 + 1, SCREEN_HEIGHT - 1, CenteredText);

  BackgroundLoaded = true;
}

void PlayMelodyNote() {
  if (!UseAnsiMusic) return;
  const TMelodyNote &Row = MELODY[CurrentMelodyIndex];
  // MB: in the background, so the show does not wait for the note to end.
  const std::string Music = std::string("MB T160 O") + Row.Octave + " " + Row.Note + Row.Duration;
  DoorWrite("\x1b[s\x1b[1;1H");
  DoorWrite("\x1b[N" + Music + "\x0e");
  DoorWrite("\x1b[u");
  if (++CurrentMelodyIndex >= MELODY_LENGTH) CurrentMelodyIndex = 0;
}
