#include "vtscreen.h"

namespace {

// ANSI colour number 0-7 to PC colour number (the table is its own inverse).
constexpr uint8_t ANSI_TO_PC[8] = {0, 4, 2, 6, 1, 5, 3, 7};

int OnTermProp(VTermProp AProp, VTermValue *AValue, void *AUser) {
  if (AProp == VTERM_PROP_CURSORVISIBLE) static_cast<TVtScreen *>(AUser)->CursorVisible = AValue->boolean;
  return 1;
}

const VTermScreenCallbacks CALLBACKS = {
    nullptr, nullptr, nullptr, OnTermProp, nullptr, nullptr, nullptr, nullptr,
};

VTermScreenCell CellAt(const TVtScreen &AVt, int AX, int AY) {
  VTermScreenCell Cell{};
  vterm_screen_get_cell(AVt.Screen, VTermPos{AY - 1, AX - 1}, &Cell);
  return Cell;
}

uint8_t PcColour(const VTermColor &AColour, uint8_t ADefault) {
  if (VTERM_COLOR_IS_DEFAULT_FG(&AColour) || VTERM_COLOR_IS_DEFAULT_BG(&AColour) ||
      !VTERM_COLOR_IS_INDEXED(&AColour) || AColour.indexed.idx > 15)
    return ADefault;
  const uint8_t Idx = AColour.indexed.idx;
  return static_cast<uint8_t>(ANSI_TO_PC[Idx & 7] | (Idx & 8));
}

void AppendUtf8(std::string &AOut, uint32_t ACode) {
  if (ACode < 0x80) {
    AOut += static_cast<char>(ACode);
  } else if (ACode < 0x800) {
    AOut += static_cast<char>(0xC0 | (ACode >> 6));
    AOut += static_cast<char>(0x80 | (ACode & 0x3F));
  } else if (ACode < 0x10000) {
    AOut += static_cast<char>(0xE0 | (ACode >> 12));
    AOut += static_cast<char>(0x80 | ((ACode >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (ACode & 0x3F));
  } else {
    AOut += static_cast<char>(0xF0 | (ACode >> 18));
    AOut += static_cast<char>(0x80 | ((ACode >> 12) & 0x3F));
    AOut += static_cast<char>(0x80 | ((ACode >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (ACode & 0x3F));
  }
}

}  // namespace

TVtScreen::TVtScreen(int ACols, int ARows, bool AUtf8) {
  Term = vterm_new(ARows, ACols);
  vterm_set_utf8(Term, AUtf8 ? 1 : 0);
  Screen = vterm_obtain_screen(Term);
  vterm_screen_set_callbacks(Screen, &CALLBACKS, this);
  vterm_screen_reset(Screen, 1);
}

TVtScreen::~TVtScreen() { vterm_free(Term); }

void VtFeed(TVtScreen &AVt, std::string_view ABytes) {
  vterm_input_write(AVt.Term, ABytes.data(), ABytes.size());
  vterm_screen_flush_damage(AVt.Screen);
}

void VtResize(TVtScreen &AVt, int ACols, int ARows) { vterm_set_size(AVt.Term, ARows, ACols); }

uint32_t VtChar(const TVtScreen &AVt, int AX, int AY) {
  const VTermScreenCell Cell = CellAt(AVt, AX, AY);
  return Cell.chars[0] ? Cell.chars[0] : ' ';
}

uint8_t VtAttr(const TVtScreen &AVt, int AX, int AY) {
  const VTermScreenCell Cell = CellAt(AVt, AX, AY);
  return static_cast<uint8_t>(PcColour(Cell.fg, 7) | (PcColour(Cell.bg, 0) & 7) << 4 |
                              (Cell.attrs.blink ? 0x80 : 0));
}

std::string VtRowText(const TVtScreen &AVt, int AY) {
  int Cols = 0, Rows = 0;
  vterm_get_size(AVt.Term, &Rows, &Cols);
  std::string R;
  for (int X = 1; X <= Cols; X++) AppendUtf8(R, VtChar(AVt, X, AY));
  return R;
}

int VtCursorX(const TVtScreen &AVt) {
  VTermPos P{};
  vterm_state_get_cursorpos(vterm_obtain_state(AVt.Term), &P);
  return P.col + 1;
}

int VtCursorY(const TVtScreen &AVt) {
  VTermPos P{};
  vterm_state_get_cursorpos(vterm_obtain_state(AVt.Term), &P);
  return P.row + 1;
}
