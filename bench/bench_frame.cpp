// One frame of the show inside this process, the door kit and the show's own routines as
// the door runs them: link mode on a socketpair whose far end a thread empties, the
// sysop's terminal rendered into memory, the frame's 25 ms sleep left out. Reports the time
// and the bytes per frame; with --frames=N it only runs N frames, for a profiler:
//
//   valgrind --tool=callgrind --toggle-collect='*RunFrames*' bench_frame --frames=400
//
// gives the instructions of 400 frames (divide by 400), repeatable on a busy machine; the
// frames go out through the link's out-buffer unless --unbuffered is given too.
#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "comm.h"
#include "comm_internal.h"
#include "console.h"
#include "console_internal.h"
#include "demo.h"
#include "demo_internal.h"
#include "door.h"
#include "door_internal.h"

namespace {

struct TShow {
  int Fds[2] = {-1, -1};
  std::atomic<bool> Stop{false};
  std::atomic<long long> Received{0};
  std::thread Reader;
  size_t LocalBytes = 0;

  bool Start(bool ABuffered) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, Fds) != 0) return false;
    Reader = std::thread([this] {
      char Buf[65536];
      while (!Stop) {
        pollfd P{Fds[1], POLLIN, 0};
        if (poll(&P, 1, 10) <= 0) continue;
        ssize_t N = recv(Fds[1], Buf, sizeof Buf, MSG_DONTWAIT);
        if (N > 0) Received += N;
        if (N == 0) break;
      }
    });
    ConsoleReset();
    ConsoleSetSleep([](uint32_t) {});
    ConsoleSetTestTerminal(80, 25, true);
    DoorReset();
    CommReset();
    std::string Socket = "-S" + std::to_string(Fds[0]);
    char Name[] = "vantorama", Node[] = "-N1";
    char *Argv[] = {Name, Node, Socket.data(), nullptr};
    DoorStartup(3, Argv);
    CommSetOutBuffer(ABuffered);
    ResetDemoState();
    DemoRandSeed(2025);
    InitializeSpiral();
    LoadBackground();
    ConsoleFlush();
    ConsoleTakeOutput();
    return true;
  }

  void Finish() {
    DoorShutdown();
    DoorReset();
    Stop = true;
    Reader.join();
    close(Fds[1]);
    ConsoleReset();
  }
};

// The frame loop of the show, as the program runs it.
__attribute__((noinline)) void RunFrames(TShow &AShow, int ACount) {
  for (int I = 0; I < ACount; ++I) {
    UpdateTopScroll();
    UpdateSpiral();
    CheckForExit();
    Delay(25);
    AShow.LocalBytes += ConsoleTakeOutput().size();
  }
}

void BM_ShowFrame(benchmark::State &AState) {
  TShow Show;
  if (!Show.Start(AState.range(0) != 0)) {
    AState.SkipWithError("no socketpair");
    return;
  }
  long long Frames = 0;
  for (auto _ : AState) {
    RunFrames(Show, 1);
    ++Frames;
  }
  Show.Finish();
  AState.counters["caller_bytes_per_frame"] = static_cast<double>(Show.Received.load()) / static_cast<double>(Frames);
  AState.counters["local_bytes_per_frame"] = static_cast<double>(Show.LocalBytes) / static_cast<double>(Frames);
}
// 0: one send per write, as the kit does by default; 1: the frame gathered in the link's
// out-buffer and sent whole.
BENCHMARK(BM_ShowFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
  for (int I = 1; I < argc; ++I) {
    if (std::strncmp(argv[I], "--frames=", 9) == 0) {
      TShow Show;
      bool Buffered = true;
      for (int J = 1; J < argc; ++J) Buffered = Buffered && std::strcmp(argv[J], "--unbuffered") != 0;
      if (!Show.Start(Buffered)) return 1;
      const int N = std::atoi(argv[I] + 9);
      RunFrames(Show, N);
      Show.Finish();
      std::printf("%d frames, %.0f caller bytes and %.0f local bytes per frame\n", N,
                  static_cast<double>(Show.Received.load()) / N, static_cast<double>(Show.LocalBytes) / N);
      return 0;
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
