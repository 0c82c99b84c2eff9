// Brings the sysop's terminal up to date with the screen: keeps what the terminal shows
// beside what the door drew, and sends only the cells that differ, with the shortest cursor
// moves and a colour change only where the attribute changes. Blanks that end a row, or
// fill most of a cleared screen, are erased (EL, ED) in their colours instead of sent; an
// erased cell takes the current background, which is set to the blanks' own first.
#include <algorithm>
#include <cstring>

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
  bool Erase = true;   // the terminal erases in the current background (its cells take our colours)
  int TX = 0, TY = 0;  // where the terminal's cursor stands, 0: not known
  int Attr = -1;       // the terminal's colours as a PC attribute, -1: not known
  int Shown = -1;      // the terminal's cursor visibility, -1: not known
  int Hidden = -1;     // 0-based screen row a terminal of 24 rows goes without, -1: none
  bool TooSmall = false;  // the terminal shows the note that it is too small
};

State g;

// Blanks sent in one frame from which a whole-screen erase is tried instead.
constexpr int ERASE_TRY_BLANKS = 2 * CONSOLE_COLS;
// The least a terminal needs to show the screen: all 80 columns, and 24 of the rows.
constexpr int MIN_ROWS = CONSOLE_ROWS - 1;

// The terminal row (0-based) that shows screen row AY; the rows below a hidden one move up.
int TermRow(int AY) { return g.Hidden >= 0 && AY > g.Hidden ? AY - 1 : AY; }

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

// The first cell from AX on (before AEnd) that the terminal does not show yet, or AEnd;
// four cells are compared at a time, as most of a changed row is still the same.
int NextChange(const TConsoleCell *ABack, const TConsoleCell *AFront, int AX, int AEnd) {
  static_assert(sizeof(TConsoleCell) == 2);
  for (; AX + 4 <= AEnd; AX += 4) {
    uint64_t B, F;
    std::memcpy(&B, ABack + AX, sizeof B);
    std::memcpy(&F, AFront + AX, sizeof F);
    if (B != F) break;
  }
  while (AX < AEnd && Same(ABack[AX], AFront[AX])) AX++;
  return AX;
}

// A cell that erasing shows as it is: a blank, not blinking (an erased cell takes the
// current colours, not the blink).
bool Erasable(TConsoleCell ACell) { return ACell.Ch == ' ' && !(ACell.Attr & 0x80); }

// The terminal shows nothing but the screen, so a whole-screen erase touches nothing else.
bool Fits() { return g.Cols == CONSOLE_COLS && g.Rows <= CONSOLE_ROWS; }

// Erases stand in for blanks only where they give exactly our cells.
bool CanErase() { return g.Erase && Fits(); }

int DirtyCount(uint32_t ARows) {
  int N = 0;
  for (; ARows; ARows &= ARows - 1) N++;
  return N;
}

// The attribute most blanks of the visible screen have, for a whole-screen erase.
uint8_t CommonBlank(const TConsoleFrame &AFrame, uint32_t ARows, int ACols) {
  int Count[128] = {};
  for (int Y = 0; Y < CONSOLE_ROWS; Y++)
    if (ARows & (1u << Y))
      for (int X = 0; X < ACols; X++)
      if (Erasable(AFrame.Cells[Y][X])) Count[AFrame.Cells[Y][X].Attr]++;
  int Best = 0x07;
  for (int A = 0; A < 128; A++)
    if (Count[A] > Count[Best]) Best = A;
  return static_cast<uint8_t>(Best);
}

// ED 2 in the blank's colours; the cursor stays where it is.
void EraseScreen(std::string &AOut, uint8_t AAttr, int ACols) {
  SetAttr(AOut, AAttr);
  AOut += "\x1b[2J";
  for (int Y = 0; Y < CONSOLE_ROWS; Y++)
    for (int X = 0; X < ACols; X++) g.Front[Y][X] = {' ', AAttr};
}

// Brings the rows set in ARows up to date; AUnknown: the terminal shows something else
// there, so every cell is sent. Returns how many of the cells sent were blanks.
int DrawRows(const TConsoleFrame &AFrame, uint32_t ARows, bool AUnknown, int ACols, std::string &AOut) {
  // EL clears to the terminal's right edge: only where that is the screen's edge too.
  const bool EraseToEdge = g.Erase && g.Cols <= CONSOLE_COLS;
  int Blanks = 0;
  for (int Y = 0; Y < CONSOLE_ROWS; Y++) {
    if (!(ARows & (1u << Y))) continue;
    const TConsoleCell *Back = AFrame.Cells[Y];
    TConsoleCell *Front = g.Front[Y];
    // The row may end in blanks of one colour that EL draws in three bytes, from the first
    // of them the terminal does not show yet.
    int EraseFrom = ACols;
    if (EraseToEdge && Erasable(Back[ACols - 1])) {
      int Tail = ACols - 1;
      while (Tail > 0 && Same(Back[Tail - 1], Back[ACols - 1])) Tail--;
      int First = -1, Last = -1;
      for (int X = Tail; X < ACols; X++) {
        if (!AUnknown && Same(Back[X], Front[X])) continue;
        if (First < 0) First = X;
        Last = X;
      }
      // Sent one by one the blanks cost a byte each, and moves between them.
      if (First >= 0 && Last - First + 1 > 3) EraseFrom = First;
    }
    for (int X = 0;; X++) {
      if (!AUnknown) X = NextChange(Back, Front, X, EraseFrom);
      if (X >= EraseFrom) break;
      MoveTo(AOut, X + 1, TermRow(Y) + 1);
      SetAttr(AOut, Back[X].Attr);
      AOut += Cp437Glyph(Back[X].Ch, g.Utf8);
      Blanks += Back[X].Ch == ' ';
      Front[X] = Back[X];
      // In the last column the cursor stays put, or not, depending on the terminal.
      g.TX = X + 2 <= g.Cols ? X + 2 : 0;
    }
    if (EraseFrom < ACols) {
      MoveTo(AOut, EraseFrom + 1, TermRow(Y) + 1);
      SetAttr(AOut, Back[EraseFrom].Attr);
      AOut += "\x1b[K";  // the cursor stays
      for (int X = EraseFrom; X < ACols; X++) Front[X] = Back[X];
      Blanks += ACols - EraseFrom;
    }
  }
  return Blanks;
}

// Instead of a screen cut short in silence: the note alone, drawn once.
void DrawTooSmall(std::string &AOut) {
  if (g.Valid && g.TooSmall) return;
  std::string Note = "Terminal ";
  AppendNumber(Note, g.Cols);
  Note += 'x';
  AppendNumber(Note, g.Rows);
  Note += " is too small: the door's screen needs 80x24";
  Note.resize(std::min<size_t>(Note.size(), static_cast<size_t>(g.Cols)));
  AOut += "\x1b[0m\x1b[?7l\x1b[H\x1b[2J";
  AOut += Note;
  if (g.Shown != 0) AOut += "\x1b[?25l";
  g.Shown = 0;
  g.Attr = -1;
  g.TX = g.TY = 0;
  g.Valid = true;
  g.TooSmall = true;
}

}  // namespace

void RenderSetTerminal(int ACols, int ARows, bool AUtf8) {
  g.Cols = std::max(ACols, 1);
  g.Rows = std::max(ARows, 1);
  g.Utf8 = AUtf8;
  g.Valid = false;
}

void RenderSetErase(bool AErase) {
  g.Erase = AErase;
  g.Valid = false;
}

void RenderInvalidate() { g.Valid = false; }

void RenderReset() { g = State{}; }

void RenderFrame(const TConsoleFrame &AFrame, std::string &AOut) {
  if (g.Cols < CONSOLE_COLS || g.Rows < MIN_ROWS) {
    DrawTooSmall(AOut);
    return;
  }
  if (g.TooSmall) {
    g.TooSmall = false;
    g.Valid = false;
  }
  // One row short: the spare row goes, so the status bar on row 25 stays in sight.
  const int Hidden = g.Rows < CONSOLE_ROWS ? AFrame.SpareRow - 1 : -1;
  if (Hidden != g.Hidden) {
    g.Hidden = Hidden;
    g.Valid = false;
  }
  const int Cols = CONSOLE_COLS;
  const uint32_t AllRows = ((1u << CONSOLE_ROWS) - 1) & ~(Hidden >= 0 ? 1u << Hidden : 0u);
  const int Rows = DirtyCount(AllRows);
  if (!g.Valid) {
    // Autowrap goes off (?7l): a glyph in the terminal's last column, last row must not
    // scroll it.
    g.Attr = -1;
    g.TX = g.TY = 1;
    if (CanErase()) {
      // Erased in the colours of most blanks, only the rest is sent.
      AOut += "\x1b[?7l\x1b[H";
      EraseScreen(AOut, CommonBlank(AFrame, AllRows, Cols), Cols);
      DrawRows(AFrame, AllRows, false, Cols, AOut);
    } else {
      // The erase leaves what lies beyond the screen in the terminal's own colours.
      AOut += "\x1b[0m\x1b[?7l\x1b[H\x1b[2J";
      DrawRows(AFrame, AllRows, true, Cols, AOut);
    }
  } else if (CanErase() && DirtyCount(AFrame.DirtyRows & AllRows) * 2 >= Rows) {
    // Much has changed: after a clear an erase and the rest may cost less than the changes.
    // Only when the changes hold many blanks is that way built too; the shorter goes out.
    const State Before = g;
    const size_t Start = AOut.size();
    if (DrawRows(AFrame, AFrame.DirtyRows & AllRows, false, Cols, AOut) >= ERASE_TRY_BLANKS) {
      const State AfterChanges = g;
      g = Before;
      std::string Erased;
      EraseScreen(Erased, CommonBlank(AFrame, AllRows, Cols), Cols);
      DrawRows(AFrame, AllRows, false, Cols, Erased);
      if (Erased.size() < AOut.size() - Start) {
        AOut.resize(Start);
        AOut += Erased;
      } else {
        g = AfterChanges;
      }
    }
  } else {
    DrawRows(AFrame, AFrame.DirtyRows & AllRows, false, Cols, AOut);
  }
  g.Valid = true;
  const bool Show = AFrame.CursorVisible && AFrame.CursorX <= Cols && AFrame.CursorY >= 1 &&
                    AFrame.CursorY <= CONSOLE_ROWS && (AllRows & (1u << (AFrame.CursorY - 1)));
  if (Show) {
    MoveTo(AOut, AFrame.CursorX, TermRow(AFrame.CursorY - 1) + 1);
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
    return;
  }
  // Below the last row that shows something, so nothing drawn scrolls away (the door's
  // farewell on a caller's pty, say); a screen used to its bottom row scrolls by one.
  int Used = g.Valid ? 0 : g.Rows;
  if (g.Valid && g.TooSmall) Used = 1;
  for (int Y = g.Valid && !g.TooSmall ? CONSOLE_ROWS : 0; Y > 0 && Used == 0; Y--) {
    if (Y - 1 == g.Hidden) continue;
    for (int X = 0; X < std::min(g.Cols, CONSOLE_COLS); X++) {
      const TConsoleCell C = g.Front[Y - 1][X];
      if ((C.Ch != ' ' && C.Ch != 0) || (C.Attr & 0x70)) {
        Used = TermRow(Y - 1) + 1;
        break;
      }
    }
  }
  if (Used < g.Rows) {
    AppendCup(AOut, 1, Used + 1);
  } else {
    AppendCup(AOut, 1, g.Rows);
    AOut += "\r\n";
  }
}
