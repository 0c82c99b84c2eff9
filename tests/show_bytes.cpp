// The bytes one caller gets from the show for a fixed seed: both questions answered yes (music
// and the picture), the backdrop, then a fixed number of frames. Written to standard output,
// so builds for different machines can be compared byte for byte.
//
//     show_bytes PICTURE_FOLDER [FRAMES [SEED]]
//
// The show runs headless as a board runs it, on a socket with the caller reading the far
// end, with no sleeps and a stopped clock, so only the show's own arithmetic shapes the bytes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "comm_internal.h"
#include "console_internal.h"
#include "demo.h"
#include "demo_internal.h"
#include "door_internal.h"
#include "doorkit/comm.h"
#include "doorkit/console.h"
#include "doorkit/door.h"
#include "e2e/wire.h"
#include "net.h"

namespace {

void NoSleep(uint32_t) {}
TDateTime StoppedClock() { return 46113.5; }

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: show_bytes PICTURE_FOLDER [FRAMES [SEED]]\n");
    return 2;
  }
  const long Frames = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 2000;
  const uint64_t Seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 20250401;
  if (chdir(argv[1]) != 0) {
    std::perror(argv[1]);
    return 2;
  }

  ConsoleReset();
  ConsoleSetSleep(NoSleep);
  DoorSetClock(StoppedClock);
  TNetPair Pair;
  if (!NetSocketPair(Pair)) return 1;
  // The caller typed ahead: yes to music, yes to the picture.
  NetSend(Pair.Peer, "yy");
  TWireTap Tap;
  Tap.Start(Pair.Peer);

  DemoRandSeed(Seed);
  std::string Prog = "vantorama", Node = "-N1", Socket = "-S" + std::to_string(Pair.Door);
  char *Argv[] = {Prog.data(), Node.data(), Socket.data(), nullptr};
  DoorStartup(3, Argv);
  CommSetOutBuffer(true);
  ResetDemoState();
  UseAnsiMusic = AskUseAnsiMusic();
  UseSixel = AskUseSixel();
  InitializeSpiral();
  LoadBackground();
  if (!UseAnsiMusic || !UseSixel || !BackgroundLoaded) {
    std::fprintf(stderr, "show_bytes: no music or no picture (is vortex.sixel in %s?)\n", argv[1]);
    return 1;
  }
  for (long I = 0; I < Frames; ++I) {
    UpdateTopScroll();
    UpdateSpiral();
    if (CheckForExit()) return 1;  // nobody pressed a key
    Delay(25);
  }
  CommClose(false);
  Pair.Door = -1;
  const std::string Wire = Tap.Take();
  Tap.Finish();
  DoorReset();

  if (std::fwrite(Wire.data(), 1, Wire.size(), stdout) != Wire.size() || std::fflush(stdout) != 0) return 1;
  return 0;
}
