// An independent terminal emulator (libvterm) to check what a terminal really shows for
// the bytes a program sends: feed it bytes, then read its cells as the console's terms
// (Unicode character, PC attribute). Positions are 1-based, column first.
#pragma once

#include <vterm.h>

#include <cstdint>
#include <string>
#include <string_view>

struct TVtScreen {
  // A blank screen of ACols x ARows; AUtf8 false: bytes are taken as 8-bit characters.
  explicit TVtScreen(int ACols = 80, int ARows = 25, bool AUtf8 = true);
  ~TVtScreen();
  TVtScreen(const TVtScreen &) = delete;
  TVtScreen &operator=(const TVtScreen &) = delete;

  VTerm *Term = nullptr;
  VTermScreen *Screen = nullptr;
  bool CursorVisible = true;  // kept from the terminal's own reports (ESC [?25h / l)
};

void VtFeed(TVtScreen &AVt, std::string_view ABytes);
// Changes the size as a terminal window does; the contents stay where they are.
void VtResize(TVtScreen &AVt, int ACols, int ARows);

// The cell's character as Unicode; a cell nothing was written to reads as a space.
uint32_t VtChar(const TVtScreen &AVt, int AX, int AY);
// The cell's colours as a PC attribute: foreground 0-15 (SGR 90-97 are 8-15), background
// 0-7 in bits 4-6, blink in bit 7. The terminal's default colours read as 7 on 0.
uint8_t VtAttr(const TVtScreen &AVt, int AX, int AY);
// The whole row in UTF-8, blanks included.
std::string VtRowText(const TVtScreen &AVt, int AY);
int VtCursorX(const TVtScreen &AVt);
int VtCursorY(const TVtScreen &AVt);
