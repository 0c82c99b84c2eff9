// Door output with the colour codes a door's texts carry: pipe codes and the backtick
// interpreter (colours, clears, MORE prompts, spinners, pauses), over whatever text the
// door is handed. The local screen is written only inside the text window, the cursor
// stays in it, both attribute copies agree, and pipe conversion grows a text boundedly.
// The first four bytes choose the window, the fifth the code switches; the rest is written
// in three calls.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ansi_internal.h"
#include "comm_internal.h"
#include "doorkit/console.h"
#include "console_internal.h"
#include "doorkit/crt2.h"
#include "crt2_internal.h"
#include "doorkit/door.h"
#include "door_internal.h"
#include "doorkit/stringutils.h"

namespace {

constexpr uint8_t OUTSIDE_CH = '#';
constexpr uint8_t OUTSIDE_ATTR = 0x4F;

void Require(bool ACondition) {
  if (!ACondition) std::abort();
}

// Every pause is instant, and a MORE prompt finds the sysop's key waiting.
void FakeSleep(uint32_t) { ConsolePushInput(" "); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *AData, size_t ASize) {
  if (ASize < 5) return 0;
  DoorReset();
  CommReset();
  ConsoleReset();
  AnsiReset();
  Crt2Reset();
  ConsoleSetSleep(FakeSleep);
  DoorOnLocalLogin = nullptr;
  char Name[] = "door", Stdio[] = "-L";
  char *Argv[] = {Name, Stdio, nullptr};
  DoorStartup(2, Argv);  // local: everything goes to the local screen

  const int x1 = 1 + AData[0] % CONSOLE_COLS;
  const int x2 = x1 + AData[1] % (CONSOLE_COLS + 1 - x1);
  const int y1 = 1 + AData[2] % CONSOLE_ROWS;
  const int y2 = y1 + AData[3] % (CONSOLE_ROWS + 1 - y1);
  const std::string marks(CONSOLE_COLS, static_cast<char>(OUTSIDE_CH));
  Window(1, 1, CONSOLE_COLS, CONSOLE_ROWS);
  for (int y = 1; y <= CONSOLE_ROWS; y++) ConsoleWriteCells(1, static_cast<uint8_t>(y), marks, OUTSIDE_ATTR);
  Window(static_cast<uint8_t>(x1), static_cast<uint8_t>(y1), static_cast<uint8_t>(x2), static_cast<uint8_t>(y2));
  DoorSession.PipeWrite = AData[4] & 1;
  DoorSession.TolvarWrite = AData[4] & 2;

  const std::string_view Text(reinterpret_cast<const char *>(AData + 5), ASize - 5);
  Require(PipeToAnsi(Text).size() <= 6 * Text.size());
  const size_t Third = Text.size() / 3;
  DoorWrite(Text.substr(0, Third));
  DoorWriteLn(Text.substr(Third, Third));
  DoorWrite(Text.substr(2 * Third));

  Require(ConsoleCursorX() >= x1 && ConsoleCursorX() <= x2);
  Require(ConsoleCursorY() >= y1 && ConsoleCursorY() <= y2);
  Require(GetTextAttr() == TextAttr);
  for (int y = 1; y <= CONSOLE_ROWS; y++) {
    for (int x = 1; x <= CONSOLE_COLS; x++) {
      if (x >= x1 && x <= x2 && y >= y1 && y <= y2) continue;
      const TConsoleCell c = ConsoleCell(x, y);
      Require(c.Ch == OUTSIDE_CH && c.Attr == OUTSIDE_ATTR);
    }
  }
  DoorReset();
  ConsoleReset();
  return 0;
}
