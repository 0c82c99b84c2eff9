// Whatever a caller's session sends, the local interpreter keeps to the text window:
// nothing outside it changes, the cursor stays in it and the two attribute copies agree.
// The first four bytes choose the window; the rest is written in two calls.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "doorkit/ansi.h"
#include "ansi_internal.h"
#include "doorkit/console.h"
#include "console_internal.h"
#include "doorkit/crt2.h"
#include "crt2_internal.h"

namespace {

constexpr uint8_t OUTSIDE_CH = '#';
constexpr uint8_t OUTSIDE_ATTR = 0x4F;

void Require(bool ACondition) {
  if (!ACondition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *AData, size_t ASize) {
  ConsoleReset();
  Crt2Reset();
  AnsiReset();
  if (ASize < 4) return 0;
  const int x1 = 1 + AData[0] % CONSOLE_COLS;
  const int x2 = x1 + AData[1] % (CONSOLE_COLS + 1 - x1);
  const int y1 = 1 + AData[2] % CONSOLE_ROWS;
  const int y2 = y1 + AData[3] % (CONSOLE_ROWS + 1 - y1);
  const std::string marks(CONSOLE_COLS, static_cast<char>(OUTSIDE_CH));
  for (int y = 1; y <= CONSOLE_ROWS; y++) ConsoleWriteCells(1, static_cast<uint8_t>(y), marks, OUTSIDE_ATTR);
  Window(static_cast<uint8_t>(x1), static_cast<uint8_t>(y1), static_cast<uint8_t>(x2),
         static_cast<uint8_t>(y2));

  const std::string_view text(reinterpret_cast<const char *>(AData + 4), ASize - 4);
  const size_t half = text.size() / 2;
  AnsiWrite(text.substr(0, half));
  AnsiWrite(text.substr(half));

  Require(ConsoleCursorX() >= x1 && ConsoleCursorX() <= x2);
  Require(ConsoleCursorY() >= y1 && ConsoleCursorY() <= y2);
  Require(WhereX() == ConsoleCursorX() - x1 + 1 && WhereY() == ConsoleCursorY() - y1 + 1);
  Require(GetTextAttr() == TextAttr);
  for (int y = 1; y <= CONSOLE_ROWS; y++) {
    for (int x = 1; x <= CONSOLE_COLS; x++) {
      if (x >= x1 && x <= x2 && y >= y1 && y <= y2) continue;
      const TConsoleCell c = ConsoleCell(x, y);
      Require(c.Ch == OUTSIDE_CH && c.Attr == OUTSIDE_ATTR);
    }
  }
  return 0;
}
