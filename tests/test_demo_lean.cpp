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
// AAt is called with the caller's screen at every point the test compares.
struct TShowRun {
  size_t Bytes = 0;        // the whole session
  size_t FrameBytes = 0;   // the frames alone
  int Shots = 0;
};

template <typename TAt>
void RunShow(bool ALean, TShowRun &ARun, TAt AAt) {
  ResetAll();
  ConsoleSetSleep(NoSleep);
  TNetPair Pair;
  ASSERT_TRUE(NetSocketPair(Pair));
  TWireTap Tap;
  Tap.Start(Pair.Peer);
  std::string Prog = "vantorama", Node = "-N1", Socket = "-S" + std::to_string(Pair.Door), Lean = "-E";
  char *Argv[] = {Prog.data(), Node.data(), Socket.data(), ALean ? Lean.data() : nullptr, nullptr};
  DoorStartup(ALean ? 4 : 3, Argv);
  ASSERT_FALSE(DoorStdio());
  CommSetOutBuffer(true);
  TVtScreen Vt(80, 25, false);
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
  for (int F = 0; F < FRAMES; ++F) {
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

TEST(DemoLeanTest, EveryFrameShowsTheCallerWhatTheFullStreamShows) {
  TShowRun Full, Lean;
  std::vector<TVtShot> Want;
  RunShow(false, Full, [&](int, TVtShot AShot) { Want.push_back(std::move(AShot)); });
  if (HasFatalFailure()) return;
  ASSERT_EQ(Want.size(), static_cast<size_t>(FRAMES + 3));
  int Failures = 0;
  RunShow(true, Lean, [&](int AAt, TVtShot AShot) {
    ASSERT_LT(static_cast<size_t>(AAt), Want.size());
    const std::string Diff = VtShotDifference(Want[static_cast<size_t>(AAt)], AShot);
    if (!Diff.empty() && ++Failures <= 3) ADD_FAILURE() << "frame " << AAt - 1 << ": " << Diff;
  });
  EXPECT_EQ(Failures, 0);
  EXPECT_EQ(Lean.Shots, Full.Shots);
  // The frames' difference is a small part of what the full stream sends for them.
  EXPECT_LT(Lean.FrameBytes * 8, Full.FrameBytes) << Lean.FrameBytes << " lean, " << Full.FrameBytes << " full";
  std::printf("frames: %.0f bytes each in the full stream, %.0f lean\n",
              static_cast<double>(Full.FrameBytes) / FRAMES, static_cast<double>(Lean.FrameBytes) / FRAMES);
}

}  // namespace
