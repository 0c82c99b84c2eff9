// The built door where it meets a Linux sysop's setup: the sysop's keys as terminals send
// them, the caller's socket on standard input as inetd hands it over, terminals of 80x24 and
// smaller. Each door runs as a board runs it, its console on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <string>

#include "e2e/node.h"

namespace {

using e2e::TNodeOptions;
using e2e::TNodeRun;

constexpr const char *kQuestionMusic = "Would you like to enable ANSI Music for this demo? (Y/N): ";
constexpr const char *kQuestionSixel = "Would you like to enable Sixel graphics? (Y/N): ";
constexpr int kWaitMs = 15000;

std::string StatusBar(const TNodeRun &ARun) {
  const int Y = ARun.SysopRow("Left: ");
  return Y ? VtRowText(ARun.Local, Y) : "";
}

// A window-size report from the caller's client whose width byte spells Y.
const std::string kNawsY("\xFF\xFB\x1F\xFF\xFA\x1F\x00\x59\x00\x18\xFF\xF0", 12);

// Ctrl+@ or Ctrl+Space on the sysop's keyboard sends a lone 0. It is a key, not half of one:
// the event pump goes on (the status bar's clock moves) and the caller's answer is read.
TEST(NodeSetupsTest, ALoneZeroFromTheSysopsKeyboardLeavesThePumpRunning) {
  TNodeRun Run;
  ASSERT_TRUE(Run.Start());
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.CallerSees(10, kQuestionMusic) && !StatusBar(Run).empty(); }, kWaitMs));
  ASSERT_EQ(write(Run.Master, "", 1), 1);
  const std::string Before = StatusBar(Run);
  EXPECT_TRUE(Run.PumpUntil([&] { return StatusBar(Run) != Before; }, 5000)) << "the pump stood still";
  Run.Type("n");
  EXPECT_TRUE(Run.PumpUntil([&] { return Run.CallerSees(10, std::string(kQuestionMusic) + "N"); }, 5000))
      << Run.Caller.Row(10);
  Run.Type("nq");
  EXPECT_TRUE(Run.PumpUntil([&] { return !Run.Running(); }, kWaitMs));
}

// inetd hands a door the caller's socket as standard input: -N1 -S0. The keyboard is not
// there, so the caller's bytes go through the link, telnet and all, and never come back as
// the sysop's keys: a window-size report is no answer.
TEST(NodeSetupsTest, TheCallersSocketOnStandardInputIsNoKeyboard) {
  TNodeRun Run;
  TNodeOptions O;
  O.SocketOnStdin = true;
  ASSERT_TRUE(Run.Start(O));
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.CallerSees(10, kQuestionMusic); }, kWaitMs));
  // The door is asleep waiting for a key when the report comes.
  Run.PumpUntil([] { return false; }, 300);
  Run.Type(kNawsY);
  Run.PumpUntil([] { return false; }, 300);
  Run.Type("n");
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.CallerSees(12, kQuestionSixel); }, kWaitMs));
  EXPECT_TRUE(Run.CallerSees(10, std::string(kQuestionMusic) + "N")) << Run.Caller.Row(10);
  EXPECT_TRUE(Run.SysopSees(10, std::string(kQuestionMusic) + "N")) << "the sysop's screen still mirrors";
  Run.Type("n");
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Frames >= 3; }, kWaitMs));
  Run.Type("q");
  ASSERT_TRUE(Run.PumpUntil([&] { return !Run.Running(); }, kWaitMs));
  EXPECT_TRUE(WIFEXITED(Run.Status) && WEXITSTATUS(Run.Status) == 0);
}

// A terminal of 80x24: the status bar stays in sight on its last row (the show needs rows
// 1-23 only), and it goes when the door ends, so the board's screen follows on a clean one.
TEST(NodeSetupsTest, EightyByTwentyFourShowsTheStatusBarAndTheDoorTakesItAlong) {
  TNodeRun Run;
  TNodeOptions O;
  O.Rows = 24;
  ASSERT_TRUE(Run.Start(O));
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.CallerSees(10, kQuestionMusic); }, kWaitMs));
  Run.Type("nn");
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Frames >= 5; }, kWaitMs));
  Run.PumpUntil([] { return false; }, 1200);  // the status bar's next second
  EXPECT_NE(VtRowText(Run.Local, 24).find("Left: "), std::string::npos) << VtRowText(Run.Local, 24);
  EXPECT_TRUE(Run.SysopSees(22, "BBS Demo by Maelgrin - April 2025 - Press ESC or Q to exit"));
  EXPECT_EQ(VtChar(Run.Local, 2, 23), 0x255Au) << "the frame's bottom-left corner";
  Run.Type("q");
  ASSERT_TRUE(Run.PumpUntil([&] { return !Run.Running(); }, kWaitMs));
  EXPECT_TRUE(Run.TerminalGivenBack());
  EXPECT_TRUE(Run.SysopRow("Returning to BBS...") != 0);
  EXPECT_EQ(Run.SysopRow("Left: "), 0) << "the status bar was left standing";
}

// Smaller than that, the sysop's terminal says so instead of cutting the screen short.
TEST(NodeSetupsTest, ATerminalTooSmallSaysSo) {
  TNodeRun Run;
  TNodeOptions O;
  O.Cols = 60;
  O.Rows = 20;
  ASSERT_TRUE(Run.Start(O));
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.SysopSees(1, "Terminal 60x20 is too small"); }, kWaitMs))
      << VtRowText(Run.Local, 1);
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.CallerSees(10, kQuestionMusic); }, kWaitMs));
  Run.Type("nn");
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Frames >= 3; }, kWaitMs));
  EXPECT_EQ(Run.SysopRow("BBS Demo"), 0);
  Run.Type("q");
  ASSERT_TRUE(Run.PumpUntil([&] { return !Run.Running(); }, kWaitMs));
  EXPECT_TRUE(Run.TerminalGivenBack());
}

}  // namespace
