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

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_support.h"

namespace {

// The frame loop of the show, as the program runs it; the sysop's bytes are added up.
__attribute__((noinline)) void RunFrames(size_t &ALocalBytes, int ACount) {
  for (int I = 0; I < ACount; ++I) ALocalBytes += BenchShowFrame();
}

void BM_ShowFrame(benchmark::State &AState) {
  TBenchShow Show;
  if (!BenchShowStart(Show, AState.range(0) != 0)) {
    AState.SkipWithError("no socketpair");
    return;
  }
  long long Frames = 0;
  size_t LocalBytes = 0;
  for (auto _ : AState) {
    RunFrames(LocalBytes, 1);
    ++Frames;
  }
  BenchShowFinish(Show);
  AState.counters["caller_bytes_per_frame"] = static_cast<double>(Show.Received.load()) / static_cast<double>(Frames);
  AState.counters["local_bytes_per_frame"] = static_cast<double>(LocalBytes) / static_cast<double>(Frames);
}
// 0: one send per write, as the kit does by default; 1: the frame gathered in the link's
// out-buffer and sent whole.
BENCHMARK(BM_ShowFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
  for (int I = 1; I < argc; ++I) {
    if (std::strncmp(argv[I], "--frames=", 9) == 0) {
      TBenchShow Show;
      bool Buffered = true;
      for (int J = 1; J < argc; ++J) Buffered = Buffered && std::strcmp(argv[J], "--unbuffered") != 0;
      if (!BenchShowStart(Show, Buffered)) return 1;
      const int N = std::atoi(argv[I] + 9);
      size_t LocalBytes = 0;
      RunFrames(LocalBytes, N);
      BenchShowFinish(Show);
      std::printf("%d frames, %.0f caller bytes and %.0f local bytes per frame\n", N,
                  static_cast<double>(Show.Received.load()) / N, static_cast<double>(LocalBytes) / N);
      return 0;
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
