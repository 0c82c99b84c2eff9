// The show's frame rate as a caller gets it: the built door runs against a loopback
// caller for 10 seconds of frames (music and picture off). Reports frames per second,
// bytes sent per frame and the door's CPU time per frame. A frame is 25 ms of sleep plus
// its output, so 40 frames per second is the ceiling.
//
// The door is the vantorama binary beside this program.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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

// The same show as a stdio door on an 80x25 pty, as a board runs one (a DOOR32.SYS of
// type 0): the bytes the caller's stream carries per frame and per second. The door is
// VANTORAMA_BENCH_DOOR when set (an older build, say; one that draws its screen on the pty
// has no frame marks to count, so only its bytes per second say anything).
void BM_StdioShowOnAPty(benchmark::State &AState) {
  for (auto _ : AState) {
    char Folder[] = "/tmp/bench_stdio_XXXXXX";
    if (!mkdtemp(Folder)) {
      AState.SkipWithError("no folder");
      return;
    }
    const std::string Drop = std::string(Folder) + "/door32.sys";
    if (FILE *F = std::fopen(Drop.c_str(), "w")) {
      std::fputs("0\r\n0\r\n38400\r\nBoard\r\n5\r\nA B\r\nAB\r\n30\r\n45\r\n1\r\n3\r\n", F);
      std::fclose(F);
    }
    const char *Other = std::getenv("VANTORAMA_BENCH_DOOR");
    const std::string Door = Other ? Other : BenchDoorPath();
    winsize Size{25, 80, 0, 0};
    int Master = -1;
    const pid_t Pid = forkpty(&Master, nullptr, nullptr, &Size);
    if (Pid == 0) {
      const std::string Arg = "-D" + Drop;
      execl(Door.c_str(), "vantorama", Arg.c_str(), "-X", static_cast<char *>(nullptr));
      _exit(127);
    }
    TBenchWire C;
    auto Read = [&](int AMs) {
      pollfd P{Master, POLLIN, 0};
      if (poll(&P, 1, AMs) <= 0) return;
      char Buf[65536];
      const ssize_t N = read(Master, Buf, sizeof Buf);
      if (N > 0) BenchCountWire(C, std::string_view(Buf, static_cast<size_t>(N)));
    };
    auto Type = [&](std::string_view AKeys) {
      if (write(Master, AKeys.data(), AKeys.size()) < 0) return;  // a door that has gone
    };
    const auto Start = TBenchClock::now();
    while (TBenchClock::now() < Start + std::chrono::seconds(2)) Read(20);  // the questions
    Type("n");
    while (TBenchClock::now() < Start + std::chrono::seconds(3)) Read(20);
    Type("n");
    while (TBenchClock::now() < Start + std::chrono::seconds(5)) Read(20);  // into the frames
    const long long Frames0 = BenchFrames(C), Bytes0 = C.Bytes;
    const auto T0 = TBenchClock::now();
    while (TBenchClock::now() < T0 + std::chrono::duration<double>(WINDOW_SECONDS)) Read(5);
    const double Seconds = std::chrono::duration<double>(TBenchClock::now() - T0).count();
    const long long Frames = BenchFrames(C) - Frames0, Bytes = C.Bytes - Bytes0;
    Type("q");
    const auto End = TBenchClock::now() + std::chrono::seconds(10);
    int Status = 0;
    while (waitpid(Pid, &Status, WNOHANG) != Pid) {
      if (TBenchClock::now() > End) {
        BenchKill(Pid);
        break;
      }
      Read(5);
    }
    close(Master);
    unlink(Drop.c_str());
    rmdir(Folder);
    const double BytesPerSecond = static_cast<double>(Bytes) / Seconds;
    AState.counters["bytes_per_second"] = BytesPerSecond;
    AState.counters["fps"] = static_cast<double>(Frames) / Seconds;
    if (Frames > 0) AState.counters["bytes_per_frame"] = static_cast<double>(Bytes) / static_cast<double>(Frames);
    std::printf("stdio show on a pty (%s): %lld frames in %.2f s, %.0f bytes/s, %s bytes/frame\n", Door.c_str(),
                Frames, Seconds, BytesPerSecond,
                Frames > 0 ? std::to_string(Bytes / Frames).c_str() : "(no frame marks)");
  }
}
BENCHMARK(BM_StdioShowOnAPty)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
