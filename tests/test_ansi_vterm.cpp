// What the door sends the caller, painted by the local interpreter and by an independent
// terminal emulator standing in for the caller's terminal: both screens must agree.
#include <gtest/gtest.h>
#include <vterm.h>

#include <cstdint>
#include <string>

#include "doorkit/ansi.h"
#include "ansi_internal.h"
#include "doorkit/console.h"
#include "console_internal.h"
#include "doorkit/crt2.h"
#include "crt2_internal.h"

namespace {

// ANSI colour number to PC colour number, written out rather than taken from the kit.
constexpr uint8_t PC_FROM_ANSI[8] = {0, 4, 2, 6, 1, 5, 3, 7};

struct Caller {
  VTerm *Vt;
  VTermScreen *Screen;
};

Caller OpenCaller() {
  Caller c{};
  c.Vt = vterm_new(CONSOLE_ROWS, CONSOLE_COLS);
  vterm_set_utf8(c.Vt, 0);
  VTermState *state = vterm_obtain_state(c.Vt);
  vterm_state_set_bold_highbright(state, 1);
  c.Screen = vterm_obtain_screen(c.Vt);
  vterm_screen_reset(c.Screen, 1);
  return c;
}

// The caller's cell as a PC attribute without blink; blank cells report only their
// background. Blink is left out: a colour change clears it locally, while the caller's
// terminal keeps it until the next reset.
uint8_t CallerAttr(const VTermScreenCell &ACell, bool ABlank) {
  int fg = 7, bg = 0;
  if (VTERM_COLOR_IS_INDEXED(&ACell.fg) && !VTERM_COLOR_IS_DEFAULT_FG(&ACell.fg)) fg = ACell.fg.indexed.idx;
  if (VTERM_COLOR_IS_INDEXED(&ACell.bg) && !VTERM_COLOR_IS_DEFAULT_BG(&ACell.bg)) bg = ACell.bg.indexed.idx;
  if (ACell.attrs.bold && fg < 8) fg += 8;
  const int pcFg = PC_FROM_ANSI[fg & 7] | (fg & 8);
  const int pcBg = PC_FROM_ANSI[bg & 7];
  if (ABlank) return static_cast<uint8_t>(pcBg << 4);
  return static_cast<uint8_t>(pcFg | (pcBg << 4));
}

void ExpectSameScreens(const Caller &ACaller, int AStep) {
  for (int y = 0; y < CONSOLE_ROWS; y++) {
    for (int x = 0; x < CONSOLE_COLS; x++) {
      VTermScreenCell cell{};
      vterm_screen_get_cell(ACaller.Screen, VTermPos{y, x}, &cell);
      const char theirs = cell.chars[0] == 0 ? ' ' : static_cast<char>(cell.chars[0]);
      const TConsoleCell ours = ConsoleCell(x + 1, y + 1);
      const bool blank = theirs == ' ';
      ASSERT_EQ(static_cast<char>(ours.Ch), theirs) << "step " << AStep << " at " << x + 1 << "," << y + 1;
      const uint8_t ourAttr = static_cast<uint8_t>(ours.Attr & (blank ? 0x70 : 0x7F));
      ASSERT_EQ(ourAttr, CallerAttr(cell, blank)) << "step " << AStep << " at " << x + 1 << "," << y + 1;
    }
  }
  VTermPos pos{};
  vterm_state_get_cursorpos(vterm_obtain_state(ACaller.Vt), &pos);
  ASSERT_EQ(ConsoleCursorX(), pos.col + 1) << "step " << AStep;
  ASSERT_EQ(ConsoleCursorY(), pos.row + 1) << "step " << AStep;
}

class AnsiVtermTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConsoleReset();
    Crt2Reset();
    AnsiReset();
    Term = OpenCaller();
  }
  void TearDown() override { vterm_free(Term.Vt); }

  // One piece of door output to both screens, built when it is sent, as the door does.
  void Send(const std::string &AText) {
    vterm_input_write(Term.Vt, AText.data(), AText.size());
    AnsiWrite(AText);
  }

  Caller Term{};
};

TEST_F(AnsiVtermTest, DoorOutputLooksTheSameOnBothScreens) {
  uint32_t seed = 2024;
  auto next = [&seed](uint32_t AMod) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % AMod;
  };
  Send(AnsiTextAttr(0x07) + AnsiClrScr());
  for (int step = 0; step < 30000; step++) {
    const auto u8 = [&](uint32_t AMod) { return static_cast<uint8_t>(next(AMod)); };
    switch (next(16)) {
      case 0: Send(AnsiGotoXY(u8(70) + 1, u8(25) + 1)); break;
      case 1: Send(AnsiTextAttr(u8(256))); break;
      case 2: Send(AnsiTextColour(u8(256))); break;
      case 3: Send(AnsiTextBackground(u8(256))); break;
      case 4: Send(AnsiBlink(next(2) == 0)); break;
      case 5: Send(AnsiCursorUp(u8(30))); break;
      case 6: Send(AnsiCursorDown(u8(30))); break;
      case 7: Send(AnsiCursorLeft(u8(30))); break;
      case 8: Send(AnsiCursorRight(u8(30))); break;
      case 9: Send(next(8) == 0 ? AnsiClrScr() : "\x1b[K"); break;
      case 10: Send(next(2) ? "\r\n" : "\n"); break;
      case 11: Send("\x1b[" + std::to_string(next(4)) + (next(2) ? "L" : "M")); break;
      default: {
        // Text stops short of the last column, where terminals differ on when they wrap.
        const int room = 79 - ConsoleCursorX();
        std::string text;
        for (int i = 0, n = room > 0 ? static_cast<int>(next(static_cast<uint32_t>(room) + 1)) : 0;
             i < n && i < 12; i++)
          text += static_cast<char>(0x21 + next(0x5E));
        if (!text.empty()) Send(text);
        break;
      }
    }
    if (step % 250 == 0) {
      ExpectSameScreens(Term, step);
      if (HasFatalFailure()) return;
    }
  }
  ExpectSameScreens(Term, -1);
}

}  // namespace
