// What a caller's screen shows at one moment, as the eye sees it, for comparing two
// terminals that were sent different bytes: every cell (a blank shows only its background,
// blink, underline and reverse), the cursor and whether it is shown. And the caller's side
// of telnet, so that a terminal emulator gets the data bytes only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vtscreen.h"

struct TVtShot {
  std::vector<uint32_t> Cells;  // row by row: character in bits 0-20, the look above
  int X = 0, Y = 0;
  bool Visible = true;
  int Cols = 0;
};

TVtShot VtShot(const TVtScreen &AVt);
// Empty when both show the same; otherwise where and how they first differ.
std::string VtShotDifference(const TVtShot &AWant, const TVtShot &AGot);

// The data bytes of a telnet stream: IAC IAC is 0xFF, other commands are dropped; a command
// split between two calls is still taken whole.
struct TTelnetData {
  std::string Take(std::string_view ABytes);

 private:
  int FState = 0;
};
