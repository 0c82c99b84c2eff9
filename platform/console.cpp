// The screen the door draws on: 80x25 cells, the text window, the cursor and text output.
// What reaches the sysop's terminal, and when, is console_term.cpp's business.
#include <algorithm>
#include <cstring>

#include "doorkit/console.h"
#include "console_parts.h"

uint8_t TextAttr = 0x07;

namespace {

constexpr uint32_t ALL_ROWS = (1u << CONSOLE_ROWS) - 1;

struct State {
  TConsoleCell Cells[CONSOLE_ROWS][CONSOLE_COLS] = {};
  // Window corners and cursor, absolute and 1-based; the cursor is always inside the window.
  int X1 = 1, Y1 = 1, X2 = CONSOLE_COLS, Y2 = CONSOLE_ROWS;
  int CX = 1, CY = 1;
  bool CursorVisible = true;
  uint32_t DirtyRows = ALL_ROWS;
};

constexpr State FreshState() {
  State S;
  for (auto &Row : S.Cells)
    for (auto &C : Row) C = {' ', 0x07};
  return S;
}

constinit State g = FreshState();

void Blank(int AY, int AFrom, int ATo) {
  TConsoleCell *Row = g.Cells[AY - 1];
  const TConsoleCell B{' ', TextAttr};
  for (int X = AFrom; X <= ATo; X++) Row[X - 1] = B;
  g.DirtyRows |= 1u << (AY - 1);
}

// Rows ATop..ABottom of the window take the contents of the row below (AUp) or above.
void ShiftRows(int ATop, int ABottom, bool AUp) {
  const size_t Bytes = sizeof(TConsoleCell) * (g.X2 - g.X1 + 1);
  if (AUp) {
    for (int Y = ATop; Y < ABottom; Y++)
      std::memcpy(&g.Cells[Y - 1][g.X1 - 1], &g.Cells[Y][g.X1 - 1], Bytes);
    Blank(ABottom, g.X1, g.X2);
  } else {
    for (int Y = ABottom; Y > ATop; Y--)
      std::memcpy(&g.Cells[Y - 1][g.X1 - 1], &g.Cells[Y - 2][g.X1 - 1], Bytes);
    Blank(ATop, g.X1, g.X2);
  }
  for (int Y = ATop; Y <= ABottom; Y++) g.DirtyRows |= 1u << (Y - 1);
}

void LineFeed() {
  if (g.CY < g.Y2)
    g.CY++;
  else
    ShiftRows(g.Y1, g.Y2, true);
}

bool IsControl(uint8_t ACh) { return ACh == '\r' || ACh == '\n' || ACh == '\b' || ACh == '\a'; }

}  // namespace

void ConsoleScreenReset() {
  g = FreshState();
  TextAttr = 0x07;
}

void Window(uint8_t X1, uint8_t Y1, uint8_t X2, uint8_t Y2) {
  ConsoleEnter();
  if (X1 < 1 || Y1 < 1 || X2 > CONSOLE_COLS || Y2 > CONSOLE_ROWS || X1 > X2 || Y1 > Y2) return;
  g.X1 = X1;
  g.Y1 = Y1;
  g.X2 = X2;
  g.Y2 = Y2;
  g.CX = X1;
  g.CY = Y1;
}

uint16_t WindMin() {
  ConsoleEnter();
  return static_cast<uint16_t>(((g.Y1 - 1) << 8) | (g.X1 - 1));
}

uint16_t WindMax() {
  ConsoleEnter();
  return static_cast<uint16_t>(((g.Y2 - 1) << 8) | (g.X2 - 1));
}

void GotoXY(uint8_t X, uint8_t Y) {
  ConsoleEnter();
  if (X < 1 || Y < 1 || X > g.X2 - g.X1 + 1 || Y > g.Y2 - g.Y1 + 1) return;
  g.CX = g.X1 + X - 1;
  g.CY = g.Y1 + Y - 1;
}

uint8_t WhereX() {
  ConsoleEnter();
  return static_cast<uint8_t>(g.CX - g.X1 + 1);
}

uint8_t WhereY() {
  ConsoleEnter();
  return static_cast<uint8_t>(g.CY - g.Y1 + 1);
}

void TextColor(uint8_t AColour) {
  ConsoleEnter();
  TextAttr = static_cast<uint8_t>((TextAttr & 0x70) | (AColour & 0x8F));
}

void TextBackground(uint8_t AColour) {
  ConsoleEnter();
  TextAttr = static_cast<uint8_t>(((AColour << 4) & 0x70) | (TextAttr & 0x8F));
}

void ClrScr() {
  ConsoleEnter();
  for (int Y = g.Y1; Y <= g.Y2; Y++) Blank(Y, g.X1, g.X2);
  g.CX = g.X1;
  g.CY = g.Y1;
}

void ClrEol() {
  ConsoleEnter();
  Blank(g.CY, g.CX, g.X2);
}

void InsLine() {
  ConsoleEnter();
  ShiftRows(g.CY, g.Y2, false);
}

void DelLine() {
  ConsoleEnter();
  ShiftRows(g.CY, g.Y2, true);
}

void CursorOn() {
  ConsoleEnter();
  g.CursorVisible = true;
}

void CursorOff() {
  ConsoleEnter();
  g.CursorVisible = false;
}

void ConsoleWrite(std::string_view AText) {
  ConsoleEnter();
  const size_t N = AText.size();
  size_t I = 0;
  while (I < N) {
    const uint8_t Ch = static_cast<uint8_t>(AText[I]);
    if (IsControl(Ch)) {
      if (Ch == '\r')
        g.CX = g.X1;
      else if (Ch == '\n')
        LineFeed();
      else if (Ch == '\b' && g.CX > g.X1)
        g.CX--;
      I++;
      continue;
    }
    // A run of glyphs, up to the window's right edge.
    TConsoleCell *Cell = &g.Cells[g.CY - 1][g.CX - 1];
    const uint8_t Attr = TextAttr;
    const size_t Room = static_cast<size_t>(g.X2 - g.CX + 1);
    size_t J = I;
    while (J < N && J - I < Room && !IsControl(static_cast<uint8_t>(AText[J]))) {
      *Cell++ = {static_cast<uint8_t>(AText[J]), Attr};
      J++;
    }
    g.DirtyRows |= 1u << (g.CY - 1);
    g.CX += static_cast<int>(J - I);
    I = J;
    if (g.CX > g.X2) {
      g.CX = g.X1;
      LineFeed();
    }
  }
}

void ConsoleWriteCells(uint8_t AX, uint8_t AY, std::string_view AChars, uint8_t AAttr) {
  ConsoleEnter();
  if (AX < 1 || AX > CONSOLE_COLS || AY < 1 || AY > CONSOLE_ROWS || AChars.empty()) return;
  const size_t Len = std::min(AChars.size(), static_cast<size_t>(CONSOLE_COLS + 1 - AX));
  TConsoleCell *Cell = &g.Cells[AY - 1][AX - 1];
  for (size_t I = 0; I < Len; I++) Cell[I] = {static_cast<uint8_t>(AChars[I]), AAttr};
  g.DirtyRows |= 1u << (AY - 1);
}

TConsoleCell ConsoleCell(int AX, int AY) {
  if (AX < 1 || AX > CONSOLE_COLS || AY < 1 || AY > CONSOLE_ROWS) return {' ', 0};
  return g.Cells[AY - 1][AX - 1];
}

std::string ConsoleRowText(int AY) {
  std::string R(CONSOLE_COLS, ' ');
  if (AY < 1 || AY > CONSOLE_ROWS) return R;
  for (int X = 0; X < CONSOLE_COLS; X++) R[X] = static_cast<char>(g.Cells[AY - 1][X].Ch);
  return R;
}

int ConsoleCursorX() { return g.CX; }
int ConsoleCursorY() { return g.CY; }
bool ConsoleCursorVisible() { return g.CursorVisible; }

TConsoleFrame ConsoleFrame() {
  return {g.Cells, g.DirtyRows, g.CX, g.CY, g.CursorVisible, g.Y2 < CONSOLE_ROWS ? CONSOLE_ROWS - 1 : CONSOLE_ROWS};
}

void ConsoleFrameClean() { g.DirtyRows = 0; }
