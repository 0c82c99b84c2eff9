// The show's frame rate as a caller gets it: the built door runs against a loopback
// caller for 10 seconds of frames (music and picture off). Reports frames per second,
// bytes sent per frame and the door's CPU time per frame. A frame is 25 ms of sleep plus
// its output, so 40 frames per second is the ceiling.
//
// The door is the vantorama binary beside this program.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "bench_support.h"

namespace {

constexpr double WINDOW_SECONDS = 10.0;

void BM_ShowFrameRate(benchmark::State &AState) {
  for (auto _ : AState) {
    int DoorFd = -1, Caller = -1;
    if (!BenchLoopbackPair(DoorFd, Caller)) {
      AState.SkipWithError("no loopback connection");
      return;
    }
    const std::string Door = BenchDoorPath();
    const pid_t Pid = BenchStartShow(Door, DoorFd, Caller);
    TBenchWire C;

    // Start counting once the show has settled into its frames.
    auto Deadline = TBenchClock::now() + std::chrono::seconds(10);
    while (BenchFrames(C) < 5 && TBenchClock::now() < Deadline) BenchPollWire(Caller, C, 50);
    if (BenchFrames(C) < 5) {
      BenchKill(Pid);
      AState.SkipWithError(("the show did not start: " + Door).c_str());
      return;
    }
    const long long Frames0 = BenchFrames(C), Bytes0 = C.Bytes, Cpu0 = BenchCpuNs(Pid);
    const auto T0 = TBenchClock::now();
    const auto End = T0 + std::chrono::duration<double>(WINDOW_SECONDS);
    while (TBenchClock::now() < End) BenchPollWire(Caller, C, 5);
    const double Seconds = std::chrono::duration<double>(TBenchClock::now() - T0).count();
    const long long Frames = BenchFrames(C) - Frames0, Bytes = C.Bytes - Bytes0, Cpu = BenchCpuNs(Pid) - Cpu0;

    BenchSendKeys(Caller, "q");
    int Status = 0;
    rusage Usage{};
    Deadline = TBenchClock::now() + std::chrono::seconds(10);
    while (wait4(Pid, &Status, WNOHANG, &Usage) != Pid) {
      if (TBenchClock::now() > Deadline) {
        kill(Pid, SIGKILL);
        wait4(Pid, &Status, 0, &Usage);
        break;
      }
      BenchPollWire(Caller, C, 5);
    }
    close(Caller);
    const long long AllFrames = BenchFrames(C);
    const double UserUs = BenchMicroseconds(Usage.ru_utime);
    const double SystemUs = BenchMicroseconds(Usage.ru_stime);
    const double RusageUs = UserUs + SystemUs;

    const double Fps = static_cast<double>(Frames) / Seconds;
    const double BytesPerFrame = static_cast<double>(Bytes) / static_cast<double>(Frames);
    const double CpuUsPerFrame = static_cast<double>(Cpu) / 1e3 / static_cast<double>(Frames);
    // The whole run's CPU, start-up and farewell included, over every frame drawn.
    const double RunCpuUsPerFrame = RusageUs / static_cast<double>(AllFrames);
    AState.counters["fps"] = Fps;
    AState.counters["bytes_per_frame"] = BytesPerFrame;
    AState.counters["cpu_us_per_frame"] = CpuUsPerFrame;
    AState.counters["run_cpu_us_per_frame"] = RunCpuUsPerFrame;
    AState.counters["user_us_per_frame"] = UserUs / static_cast<double>(AllFrames);
    AState.counters["system_us_per_frame"] = SystemUs / static_cast<double>(AllFrames);
    std::printf("show: %lld frames in %.2f s = %.2f fps, %.0f bytes/frame, door CPU %.1f us/frame "
                "(whole run by getrusage: %.1f us/frame over %lld frames, %.1f user + %.1f system)\n",
                Frames, Seconds, Fps, BytesPerFrame, CpuUsPerFrame, RunCpuUsPerFrame, AllFrames,
                UserUs / static_cast<double>(AllFrames), SystemUs / static_cast<double>(AllFrames));
  }
}
BENCHMARK(BM_ShowFrameRate)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
