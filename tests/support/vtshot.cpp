#include "vtshot.h"

namespace {

constexpr uint8_t ANSI_TO_PC[8] = {0, 4, 2, 6, 1, 5, 3, 7};

uint32_t PcColour(const VTermColor &AColour, uint32_t ADefault) {
  if (VTERM_COLOR_IS_DEFAULT_FG(&AColour) || VTERM_COLOR_IS_DEFAULT_BG(&AColour) ||
      !VTERM_COLOR_IS_INDEXED(&AColour) || AColour.indexed.idx > 15)
    return ADefault;
  return ANSI_TO_PC[AColour.indexed.idx & 7] | (AColour.indexed.idx & 8);
}

// Bold shows as the bright colour, whether the terminal keeps it in the colour or apart.
uint32_t Look(const VTermScreenCell &ACell, bool ABlank) {
  const uint32_t Fg = PcColour(ACell.fg, 7) | (ACell.attrs.bold ? 8 : 0);
  const uint32_t Bg = PcColour(ACell.bg, 0) & 7;
  const uint32_t Marks = (ACell.attrs.blink ? 1u : 0u) | (ACell.attrs.underline ? 2u : 0u) |
                         (ACell.attrs.reverse ? 4u : 0u);
  if (ABlank) return (ACell.attrs.reverse ? Fg & 7 : Bg) << 4 | Marks << 8;
  return Fg | Bg << 4 | Marks << 8;
}

std::string Describe(uint32_t ACell) {
  const uint32_t Ch = ACell & 0x1FFFFF;
  std::string S = "'";
  S += Ch >= 0x20 && Ch < 0x7F ? std::string(1, static_cast<char>(Ch)) : "#" + std::to_string(Ch);
  return S + "' look " + std::to_string(ACell >> 21);
}

}  // namespace

TVtShot VtShot(const TVtScreen &AVt) {
  TVtShot S;
  int Rows = 0;
  vterm_get_size(AVt.Term, &Rows, &S.Cols);
  S.Cells.reserve(static_cast<size_t>(Rows * S.Cols));
  for (int Y = 0; Y < Rows; ++Y) {
    for (int X = 0; X < S.Cols; ++X) {
      VTermScreenCell Cell{};
      vterm_screen_get_cell(AVt.Screen, VTermPos{Y, X}, &Cell);
      const uint32_t Ch = Cell.chars[0] ? Cell.chars[0] : ' ';
      S.Cells.push_back(Ch | Look(Cell, Ch == ' ') << 21);
    }
  }
  S.X = VtCursorX(AVt);
  S.Y = VtCursorY(AVt);
  S.Visible = AVt.CursorVisible;
  return S;
}

std::string VtShotDifference(const TVtShot &AWant, const TVtShot &AGot) {
  for (size_t I = 0; I < AWant.Cells.size() && I < AGot.Cells.size(); ++I) {
    if (AWant.Cells[I] == AGot.Cells[I]) continue;
    const int X = static_cast<int>(I) % AWant.Cols + 1, Y = static_cast<int>(I) / AWant.Cols + 1;
    return "cell " + std::to_string(X) + "," + std::to_string(Y) + ": " + Describe(AWant.Cells[I]) +
           " wanted, " + Describe(AGot.Cells[I]) + " shown";
  }
  if (AWant.Cells.size() != AGot.Cells.size()) return "screen sizes differ";
  if (AWant.X != AGot.X || AWant.Y != AGot.Y)
    return "cursor at " + std::to_string(AGot.X) + "," + std::to_string(AGot.Y) + ", wanted at " +
           std::to_string(AWant.X) + "," + std::to_string(AWant.Y);
  if (AWant.Visible != AGot.Visible) return AWant.Visible ? "cursor hidden" : "cursor shown";
  return "";
}

std::string TTelnetData::Take(std::string_view ABytes) {
  std::string Data;
  for (char C : ABytes) {
    const uint8_t B = static_cast<uint8_t>(C);
    if (FState == 1) {
      if (B == 0xFF) Data += C;
      FState = (B >= 0xFB && B <= 0xFE) ? 2 : 0;
    } else if (FState == 2) {
      FState = 0;
    } else if (B == 0xFF) {
      FState = 1;
    } else {
      Data += C;
    }
  }
  return Data;
}
