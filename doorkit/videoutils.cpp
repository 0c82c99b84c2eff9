#include "doorkit/videoutils.h"

#include "doorkit/console.h"

void FastWrite(std::string_view ALine, uint8_t AX, uint8_t AY, uint8_t AAttr) {
  if (AX < 1 || AX > CONSOLE_COLS || AY < 1 || AY > CONSOLE_ROWS || ALine.empty()) return;
  // Ends at column 80 at the latest; never wraps or scrolls.
  ConsoleWriteCells(AX, AY, ALine.substr(0, static_cast<size_t>(CONSOLE_COLS + 1 - AX)), AAttr);
}
