// The show through the lean wire (-E): after the questions, after every frame and after the
// farewell, the caller's screen (cells, colours, cursor) is the one the full stream gives,
// on an independent terminal emulator, over thousands of frames with music and the picture
// on; and the frames take a small part of the full stream's bytes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "ansi_internal.h"
#include "comm_internal.h"
#include "doorkit/comm.h"
#include "doorkit/console.h"
#include "console_internal.h"
#include "crt2_internal.h"
#include "demo.h"
#include "demo_internal.h"
#include "door_internal.h"
#include "e2e/wire.h"
#include "net.h"
#include "vtshot.h"

namespace {

constexpr int FRAMES = 2400;  // line-ups, every pattern twice, 160 notes

void NoSleep(uint32_t) {}

void ResetAll() {
  DoorReset();
  CommReset();
  ConsoleReset();
  ConsoleSetSleep(nullptr);
  Crt2Reset();
  AnsiReset();
  ResetDemoState();
  SpiralChars.clear();
  SpiralText.clear();
  CenteredText.clear();
}

// One run of the show as the program runs it, in this process: a link session on a
// socketpair, the questions answered yes on the sysop's keyboard, the frames, the farewell.
// AAt is called with the caller's screen at every point the test compares; AUtf8 serves the
// caller UTF-8 (-U), and the caller's terminal takes it so.
struct TShowRun {
  size_t Bytes = 0;        // the whole session
  size_t FrameBytes = 0;   // the frames alone
  int Shots = 0;
};

template <typename TAt>
void RunShow(bool ALean, bool AUtf8, int AFrames, TShowRun &ARun, TAt AAt) {
  ResetAll();
  ConsoleSetSleep(NoSleep);
  TNetPair Pair;
  ASSERT_TRUE(NetSocketPair(Pair));
  TWireTap Tap;
  Tap.Start(Pair.Peer);
  std::string Prog = "vantorama", Node = "-N1", Socket = "-S" + std::to_string(Pair.Door), Lean = "-E", Utf8 = "-U";
  std::vector<char *> Argv{Prog.data(), Node.data(), Socket.data()};
  if (ALean) Argv.push_back(Lean.data());
  if (AUtf8) Argv.push_back(Utf8.data());
  Argv.push_back(nullptr);
  DoorStartup(static_cast<int>(Argv.size()) - 1, Argv.data());
  ASSERT_FALSE(DoorStdio());
  CommSetOutBuffer(true);
  TVtScreen Vt(80, 25, AUtf8);
  TTelnetData Telnet;
  auto Shot = [&] {
    const std::string Wire = Tap.Take();
    ARun.Bytes += Wire.size();
    VtFeed(Vt, Telnet.Take(Wire));
    AAt(ARun.Shots++, VtShot(Vt));
    return Wire.size();
  };

  ResetDemoState();
  DemoRandSeed(20250401);
  ConsolePushInput("yy");
  UseAnsiMusic = AskUseAnsiMusic();
  Shot();
  UseSixel = AskUseSixel();
  InitializeSpiral();
  Shot();
  char Old[PATH_MAX];
  ASSERT_NE(getcwd(Old, sizeof(Old)), nullptr);
  ASSERT_EQ(chdir(VANTORAMA_SOURCE_DIR "/demo"), 0);
  LoadBackground();
  ASSERT_EQ(chdir(Old), 0);
  for (int F = 0; F < AFrames; ++F) {
    UpdateTopScroll();
    UpdateSpiral();
    CheckForExit();
    Delay(25);
    ARun.FrameBytes += Shot();
  }
  DoorClrScr();
  DoorTextAttr(7);
  DoorGotoXY(1, 1);
  DoorWriteLn("Thanks for checking out the Vantorama Demo!");
  DoorWriteLn("Returning to BBS...");
  Delay(1000);
  DoorShutdown();
  Pair.Door = -1;  // closed by the link
  Shot();
  Tap.Finish();
  ResetAll();
}

// Both runs, the full stream's screens kept and the lean wire's compared with them.
void ExpectSameShow(bool AUtf8, int AFrames, TShowRun &AFull, TShowRun &ALean) {
  std::vector<TVtShot> Want;
  RunShow(false, AUtf8, AFrames, AFull, [&](int, TVtShot AShot) { Want.push_back(std::move(AShot)); });
  ASSERT_EQ(Want.size(), static_cast<size_t>(AFrames + 3));
  int Failures = 0;
  RunShow(true, AUtf8, AFrames, ALean, [&](int AAt, TVtShot AShot) {
    ASSERT_LT(static_cast<size_t>(AAt), Want.size());
    const std::string Diff = VtShotDifference(Want[static_cast<size_t>(AAt)], AShot);
    if (!Diff.empty() && ++Failures <= 3) ADD_FAILURE() << "frame " << AAt - 1 << ": " << Diff;
  });
  EXPECT_EQ(Failures, 0);
  EXPECT_EQ(ALean.Shots, AFull.Shots);
}

TEST(DemoLeanTest, EveryFrameShowsTheCallerWhatTheFullStreamShows) {
  TShowRun Full, Lean;
  ExpectSameShow(false, FRAMES, Full, Lean);
  if (HasFatalFailure()) return;
  // The frames' difference is a small part of what the full stream sends for them.
  EXPECT_LT(Lean.FrameBytes * 8, Full.FrameBytes) << Lean.FrameBytes << " lean, " << Full.FrameBytes << " full";
}

// A UTF-8 caller (-U): the difference is made in CP437 cells, and goes out as the caller's
// text does, glyphs as Unicode, the notes and the picture as they are.
TEST(DemoLeanTest, AUtf8CallerSeesTheSameFrames) {
  TShowRun Full, Lean;
  ExpectSameShow(true, 500, Full, Lean);
  EXPECT_LT(Lean.FrameBytes * 8, Full.FrameBytes) << Lean.FrameBytes << " lean, " << Full.FrameBytes << " full";
}

}  // namespace
