// A board with 100 nodes busy at once on this machine: 100 doors, each with its own caller on
// loopback TCP, all in the show for 10 seconds. Reports the frame rate of the slowest door
// (and the median), the CPU all doors took together, and the CPU of the callers' side (this
// program reading every connection). A frame is 25 ms of sleep plus its output, so 40 frames
// per second is the ceiling.
//
// Each door is the vantorama program beside this one, run as a board runs it.
#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

constexpr int NODES = 100;
constexpr double WINDOW_SECONDS = 10.0;

struct TCaller {
  int Fd = -1;
  pid_t Pid = -1;
  TBenchWire Wire;
  long long Frames0 = 0, Cpu0 = 0, Frames = 0, Cpu = 0;
};

void ReadAll(std::vector<TCaller> &ACallers, int ATimeoutMs) {
  std::vector<pollfd> P;
  for (const TCaller &C : ACallers) P.push_back({C.Fd, POLLIN, 0});
  if (poll(P.data(), P.size(), ATimeoutMs) <= 0) return;
  for (size_t I = 0; I < P.size(); ++I)
    if (P[I].revents) BenchReadWire(ACallers[I].Fd, ACallers[I].Wire);
}

void BM_Nodes(benchmark::State &AState) {
  const std::string Door = BenchDoorPath();
  for (auto _ : AState) {
    std::vector<TCaller> Callers(NODES);
    for (TCaller &C : Callers) {
      int DoorFd = -1;
      if (!BenchLoopbackPair(DoorFd, C.Fd)) {
        AState.SkipWithError("no loopback connection");
        return;
      }
      C.Pid = BenchStartShow(Door, DoorFd, C.Fd);
    }

    // Every door in its frames first.
    auto Deadline = TBenchClock::now() + std::chrono::seconds(60);
    auto AllStarted = [&] {
      return std::all_of(Callers.begin(), Callers.end(), [](const TCaller &C) { return BenchFrames(C.Wire) >= 5; });
    };
    while (!AllStarted() && TBenchClock::now() < Deadline) ReadAll(Callers, 20);
    bool Started = AllStarted();
    if (Started) {
      for (TCaller &C : Callers) {
        C.Frames0 = BenchFrames(C.Wire);
        C.Cpu0 = BenchCpuNs(C.Pid);
      }
      const long long Self0 = BenchSelfCpuNs();
      const auto T0 = TBenchClock::now();
      while (TBenchClock::now() < T0 + std::chrono::duration<double>(WINDOW_SECONDS)) ReadAll(Callers, 5);
      const double Seconds = std::chrono::duration<double>(TBenchClock::now() - T0).count();
      const long long Self = BenchSelfCpuNs() - Self0;
      std::vector<double> Fps;
      long long DoorCpu = 0;
      for (TCaller &C : Callers) {
        C.Frames = BenchFrames(C.Wire) - C.Frames0;
        C.Cpu = BenchCpuNs(C.Pid) - C.Cpu0;
        DoorCpu += C.Cpu;
        Fps.push_back(static_cast<double>(C.Frames) / Seconds);
      }
      std::sort(Fps.begin(), Fps.end());
      AState.counters["slowest_fps"] = Fps.front();
      AState.counters["median_fps"] = Fps[Fps.size() / 2];
      AState.counters["doors_cpu_cores"] = static_cast<double>(DoorCpu) / 1e9 / Seconds;
      AState.counters["callers_cpu_cores"] = static_cast<double>(Self) / 1e9 / Seconds;
      std::printf("binary: %d doors, slowest %.2f fps, median %.2f, fastest %.2f; doors %.2f cores, callers %.2f cores "
                  "(%.0f us per frame per door)\n",
                  NODES, Fps.front(), Fps[Fps.size() / 2], Fps.back(), static_cast<double>(DoorCpu) / 1e9 / Seconds,
                  static_cast<double>(Self) / 1e9 / Seconds,
                  static_cast<double>(DoorCpu) / 1e3 / static_cast<double>(std::max(1.0, Fps[Fps.size() / 2] * Seconds * NODES)));
    }

    for (TCaller &C : Callers) BenchSendKeys(C.Fd, "q");
    Deadline = TBenchClock::now() + std::chrono::seconds(20);
    size_t Left = Callers.size();
    while (Left > 0 && TBenchClock::now() < Deadline) {
      ReadAll(Callers, 10);
      for (TCaller &C : Callers) {
        if (C.Pid > 0 && waitpid(C.Pid, nullptr, WNOHANG) == C.Pid) {
          C.Pid = -1;
          --Left;
        }
      }
    }
    for (TCaller &C : Callers) {
      if (C.Pid > 0) BenchKill(C.Pid);
      close(C.Fd);
    }
    if (!Started) {
      AState.SkipWithError(("not every door started its show: " + Door).c_str());
      return;
    }
  }
}
BENCHMARK(BM_Nodes)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
