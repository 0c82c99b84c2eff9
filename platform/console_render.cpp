// Brings the sysop's terminal up to date with the screen: keeps what the terminal shows
// beside what the door drew, and sends only the cells that differ, with the shortest cursor
// moves and a colour change only where the attribute changes.
#include <algorithm>

#include "console_parts.h"

namespace {

// PC colour number 0-7 to ANSI colour number.
constexpr int PC_TO_ANSI[8] = {0, 4, 2, 6, 1, 5, 3, 7};

struct State {
  TConsoleCell Front[CONSOLE_ROWS][CONSOLE_COLS] = {};
  bool Valid = false;  // false: the terminal shows something else, draw everything
  int Cols = CONSOLE_COLS;
  int Rows = CONSOLE_ROWS;
  bool Utf8 = true;
  int TX = 0, TY = 0;  // where the terminal's cursor stands, 0: not known
  int Attr = -1;       // the terminal's colours as a PC attribute, -1: not known
  int Shown = -1;      // the terminal's cursor visibility, -1: not known
};

State g;

void AppendNumber(std::string &AOut, int AValue) {
  char Digits[12];
  int N = 0;
  do {
    Digits[N++] = static_cast<char>('0' + AValue % 10);
    AValue /= 10;
  } while (AValue > 0);
  while (N > 0) AOut += Digits[--N];
}

int DigitCount(int AValue) { return AValue >= 100 ? 3 : AValue >= 10 ? 2 : 1; }

// CSI with one count, the count left out when it is 1.
int CsiLength(int ACount) { return ACount == 1 ? 3 : 3 + DigitCount(ACount); }

void AppendCsi(std::string &AOut, int ACount, char AFinal) {
  AOut += "\x1b[";
  if (ACount != 1) AppendNumber(AOut, ACount);
  AOut += AFinal;
}

int CupLength(int AX, int AY) {
  if (AX == 1) return AY == 1 ? 3 : 3 + DigitCount(AY);
  return 4 + DigitCount(AY) + DigitCount(AX);
}

void AppendCup(std::string &AOut, int AX, int AY) {
  AOut += "\x1b[";
  if (AX != 1 || AY != 1) AppendNumber(AOut, AY);
  if (AX != 1) {
    AOut += ';';
    AppendNumber(AOut, AX);
  }
  AOut += 'H';
}

void MoveTo(std::string &AOut, int AX, int AY) {
  if (g.TX == AX && g.TY == AY) return;
  if (g.TX == 0 || g.TY == 0) {
    AppendCup(AOut, AX, AY);
  } else {
    const int DY = AY - g.TY, DX = AX - g.TX;
    const int Vertical = DY == 0 ? 0 : CsiLength(DY < 0 ? -DY : DY);
    int Horizontal = 0;
    if (DX != 0) {
      if (AX == 1)
        Horizontal = 1;  // CR
      else if (DX > 0)
        Horizontal = CsiLength(DX);
      else
        Horizontal = -DX <= 3 ? -DX : CsiLength(-DX);  // BS is one byte a column
    }
    if (CupLength(AX, AY) <= Vertical + Horizontal) {
      AppendCup(AOut, AX, AY);
    } else {
      if (DY < 0) AppendCsi(AOut, -DY, 'A');  // CUU
      if (DY > 0) AppendCsi(AOut, DY, 'B');   // CUD: stops at the bottom, never scrolls
      if (DX != 0) {
        if (AX == 1)
          AOut += '\r';
        else if (DX > 0)
          AppendCsi(AOut, DX, 'C');
        else if (-DX <= 3)
          AOut.append(static_cast<size_t>(-DX), '\b');
        else
          AppendCsi(AOut, -DX, 'D');
      }
    }
  }
  g.TX = AX;
  g.TY = AY;
}

void AppendParam(std::string &AOut, bool &AFirst, int AValue) {
  if (!AFirst) AOut += ';';
  AFirst = false;
  AppendNumber(AOut, AValue);
}

void SetAttr(std::string &AOut, uint8_t AAttr) {
  if (g.Attr == AAttr) return;
  const int Fg = (AAttr & 0x08 ? 90 : 30) + PC_TO_ANSI[AAttr & 0x07];
  const int Bg = 40 + PC_TO_ANSI[(AAttr >> 4) & 0x07];
  bool First = true;
  AOut += "\x1b[";
  if (g.Attr < 0) {
    AOut += "0;";
    AppendNumber(AOut, Fg);
    AOut += ';';
    AppendNumber(AOut, Bg);
    if (AAttr & 0x80) AOut += ";5";
  } else {
    const uint8_t Old = static_cast<uint8_t>(g.Attr);
    if ((Old & 0x0F) != (AAttr & 0x0F)) AppendParam(AOut, First, Fg);
    if ((Old & 0x70) != (AAttr & 0x70)) AppendParam(AOut, First, Bg);
    if ((Old & 0x80) != (AAttr & 0x80)) AppendParam(AOut, First, AAttr & 0x80 ? 5 : 25);
  }
  AOut += 'm';
  g.Attr = AAttr;
}

bool Same(TConsoleCell A, TConsoleCell B) { return A.Ch == B.Ch && A.Attr == B.Attr; }

}  // namespace

void RenderSetTerminal(int ACols, int ARows, bool AUtf8) {
  g.Cols = std::max(ACols, 1);
  g.Rows = std::max(ARows, 1);
  g.Utf8 = AUtf8;
  g.Valid = false;
}

void RenderInvalidate() { g.Valid = false; }

void RenderReset() { g = State{}; }

void RenderFrame(const TConsoleFrame &AFrame, std::string &AOut) {
  const int Rows = std::min(g.Rows, CONSOLE_ROWS);
  const int Cols = std::min(g.Cols, CONSOLE_COLS);
  const bool Full = !g.Valid;
  if (Full) {
    // Autowrap off: a glyph in the terminal's last column, last row must not scroll it.
    AOut += "\x1b[0m\x1b[?7l\x1b[H\x1b[2J";
    g.Attr = -1;
    g.TX = g.TY = 1;
  }
  for (int Y = 0; Y < Rows; Y++) {
    if (!Full && !(AFrame.DirtyRows & (1u << Y))) continue;
    const TConsoleCell *Back = AFrame.Cells[Y];
    TConsoleCell *Front = g.Front[Y];
    for (int X = 0; X < Cols; X++) {
      if (!Full && Same(Back[X], Front[X])) continue;
      MoveTo(AOut, X + 1, Y + 1);
      SetAttr(AOut, Back[X].Attr);
      AOut += Cp437Glyph(Back[X].Ch, g.Utf8);
      Front[X] = Back[X];
      // In the last column the cursor stays put, or not, depending on the terminal.
      g.TX = X + 2 <= g.Cols ? X + 2 : 0;
    }
  }
  g.Valid = true;
  const bool Show = AFrame.CursorVisible && AFrame.CursorX <= Cols && AFrame.CursorY <= Rows;
  if (Show) {
    MoveTo(AOut, AFrame.CursorX, AFrame.CursorY);
    if (g.Shown != 1) AOut += "\x1b[?25h";
    g.Shown = 1;
  } else if (g.Shown != 0) {
    AOut += "\x1b[?25l";
    g.Shown = 0;
  }
}

void RenderGoodbye(std::string &AOut) {
  AOut += "\x1b[0m\x1b[?7h\x1b[?25h";
  if (g.Rows > CONSOLE_ROWS) {
    AppendCup(AOut, 1, CONSOLE_ROWS + 1);
  } else {
    AppendCup(AOut, 1, g.Rows);
    AOut += "\r\n";
  }
}
