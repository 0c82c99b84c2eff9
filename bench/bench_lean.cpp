// The lean wire (-E) against the full stream, side by side in one run, the show inside this
// program as the door runs it (link mode, the sysop's terminal rendered into memory):
//
//   bytes per frame   the same frames (music off, and on), full and lean;
//   slow callers      a caller that takes 960 B/s (9600 bps) and one that takes 3840 B/s
//                     (38400 bps) over loopback TCP with small buffers, the show's 25 ms
//                     sleep real: frames per second that reach the caller, full and lean;
//   CPU per frame     the door's thread (its sends over loopback TCP included), no sleep,
//                     a caller that takes everything at once.
//
// A frame has reached the caller once its last byte has: the door notes the bytes it had
// handed to the kernel after each frame, the caller counts what it has read.
//
//   bench_lean [--seconds=N]   N seconds of each slow caller (default 10)
//   bench_lean --cpu=full|lean the CPU part alone, one way, for a profiler:
//   valgrind --tool=callgrind bench_lean --cpu=lean
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

constexpr int BYTE_FRAMES = 2000;
constexpr int CPU_FRAMES = 2000;

// A caller on the far end that reads ARate bytes a second (0: all it can), in 10 ms steps.
struct TPacedCaller {
  int Fd = -1;
  std::atomic<double> Rate{0};
  std::atomic<bool> Stop{false};
  std::atomic<long long> Received{0};
  std::thread Reader;

  void Start(int AFd, double ARate) {
    Fd = AFd;
    Rate = ARate;
    Reader = std::thread([this] {
      char Buf[65536];
      double Allowance = 0;
      auto Last = TBenchClock::now();
      while (!Stop) {
        size_t Want = sizeof Buf;
        const double R = Rate;
        if (R > 0) {
          // What the line has carried since the last look, a second's worth at most.
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          const auto Now = TBenchClock::now();
          Allowance = std::min(Allowance + R * std::chrono::duration<double>(Now - Last).count(), R);
          Last = Now;
          Want = std::min(Want, static_cast<size_t>(Allowance));
          if (Want == 0) continue;
        } else {
          pollfd P{Fd, POLLIN, 0};
          if (poll(&P, 1, 10) <= 0) continue;
        }
        const ssize_t N = recv(Fd, Buf, Want, MSG_DONTWAIT);
        if (N > 0) {
          Received += N;
          Allowance -= static_cast<double>(N);
        }
        if (N == 0) break;
      }
    });
  }
  void Finish() {
    Stop = true;
    if (Reader.joinable()) Reader.join();
  }
};

// The kit started on ADoorFd as a board starts the door, with -E when ALean; the show's
// backdrop drawn (no picture), its random numbers the same every run.
void StartShow(int ADoorFd, bool ALean, bool AMusic) {
  BenchMemoryTerminal();
  ConsoleSetSleep([](uint32_t) {});
  DoorReset();
  CommReset();
  std::string Socket = "-S" + std::to_string(ADoorFd);
  char Name[] = "vantorama", Node[] = "-N1", Lean[] = "-E";
  char *Argv[] = {Name, Node, Socket.data(), ALean ? Lean : nullptr, nullptr};
  DoorStartup(ALean ? 4 : 3, Argv);
  CommSetOutBuffer(true);
  ResetDemoState();
  DemoRandSeed(2025);
  UseAnsiMusic = AMusic;
  InitializeSpiral();
  LoadBackground();
  CheckForExit();
  ConsoleFlush();
  ConsoleTakeOutput();
}

void EndShow() {
  DoorShutdown();
  DoorReset();
  ConsoleReset();
}

void Frame() {
  UpdateTopScroll();
  UpdateSpiral();
  CheckForExit();
  Delay(25);
  ConsoleTakeOutput();
}

// Bytes of frames 1 to BYTE_FRAMES, as the caller gets them.
double BytesPerFrame(bool ALean, bool AMusic) {
  int Fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, Fds) != 0) return -1;
  TPacedCaller Caller;
  Caller.Start(Fds[1], 0);
  StartShow(Fds[0], ALean, AMusic);
  const uint64_t Before = CommBytesSent();
  for (int I = 0; I < BYTE_FRAMES; ++I) Frame();
  const uint64_t After = CommBytesSent();
  EndShow();
  Caller.Finish();
  close(Fds[1]);
  return static_cast<double>(After - Before) / BYTE_FRAMES;
}

long long ThreadCpuNs() {
  timespec T{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return static_cast<long long>(T.tv_sec) * 1000000000LL + T.tv_nsec;
}

// The door thread's CPU per frame, microseconds; the least of ARuns runs.
double CpuPerFrame(bool ALean, int ARuns = 3) {
  double Best = 1e30;
  for (int Run = 0; Run < ARuns; ++Run) {
    int Door = -1, Peer = -1;
    if (!BenchLoopbackPair(Door, Peer)) return -1;
    TPacedCaller Caller;
    Caller.Start(Peer, 0);
    StartShow(Door, ALean, false);
    const long long Before = ThreadCpuNs();
    for (int I = 0; I < CPU_FRAMES; ++I) Frame();
    const long long After = ThreadCpuNs();
    EndShow();
    Caller.Finish();
    close(Peer);
    Best = std::min(Best, static_cast<double>(After - Before) / 1e3 / CPU_FRAMES);
  }
  return Best;
}

// Frames that have reached a caller who has read AReceived bytes, counting the one in
// flight by the part of it that has arrived; ASent[k] is what the kernel had taken after
// frame k (k = 0: before the first).
double FramesReached(const std::vector<uint64_t> &ASent, long long AReceived) {
  const auto R = static_cast<uint64_t>(AReceived);
  for (size_t K = 1; K < ASent.size(); ++K) {
    if (ASent[K] > R) {
      const double Part = static_cast<double>(R - std::min(R, ASent[K - 1])) / static_cast<double>(ASent[K] - ASent[K - 1]);
      return static_cast<double>(K - 1) + Part;
    }
  }
  return static_cast<double>(ASent.size() - 1);
}

struct TSlow {
  double Fps = 0;       // frames that reached the caller, a second
  double Rate = 0;      // bytes the caller took, a second
};

TSlow SlowCaller(bool ALean, double ARate, double ASeconds) {
  TSlow Result;
  int Door = -1, Peer = -1;
  if (!BenchLoopbackPair(Door, Peer)) return Result;
  // A slow link holds little on the door's side.
  const int Small = 4096;
  setsockopt(Door, SOL_SOCKET, SO_SNDBUF, &Small, sizeof Small);
  TPacedCaller Caller;
  Caller.Start(Peer, 0);  // the start-up and the backdrop at full speed
  StartShow(Door, ALean, false);
  Caller.Finish();
  Caller.Stop = false;
  Caller.Start(Peer, ARate);
  ConsoleSetSleep(nullptr);  // the frame's 25 ms for real from here

  std::mutex Lock;
  std::vector<uint64_t> Sent{CommBytesSent()};
  std::atomic<bool> Done{false};
  std::thread Show([&] {
    while (!Done) {
      Frame();
      std::lock_guard<std::mutex> G(Lock);
      Sent.push_back(CommBytesSent());
    }
  });
  auto Sample = [&] {
    const long long Got = Caller.Received;
    std::lock_guard<std::mutex> G(Lock);
    return FramesReached(Sent, Got);
  };
  std::this_thread::sleep_for(std::chrono::seconds(2));  // past the first frames' hold-up
  const long long B0 = Caller.Received;
  const auto T0 = TBenchClock::now();
  const double F0 = Sample();
  std::this_thread::sleep_for(std::chrono::duration<double>(ASeconds));
  const double F1 = Sample();
  const long long B1 = Caller.Received;
  const double Seconds = std::chrono::duration<double>(TBenchClock::now() - T0).count();
  // The door may be waiting on the caller: stop reading slowly so that it ends at once.
  Caller.Rate = 0;
  Done = true;
  Show.join();
  EndShow();
  Caller.Finish();
  close(Peer);
  Result.Fps = (F1 - F0) / Seconds;
  Result.Rate = static_cast<double>(B1 - B0) / Seconds;
  return Result;
}

}  // namespace

int main(int argc, char **argv) {
  double Seconds = 10;
  for (int I = 1; I < argc; ++I) {
    if (std::strncmp(argv[I], "--seconds=", 10) == 0) Seconds = std::atof(argv[I] + 10);
    // Only the CPU part, one run of one way: for a profiler.
    if (std::strncmp(argv[I], "--cpu=", 6) == 0) {
      const bool Lean = std::strcmp(argv[I] + 6, "lean") == 0;
      std::printf("%.1f us %s\n", CpuPerFrame(Lean, 1), Lean ? "lean" : "full");
      return 0;
    }
  }

  const double FullBytes = BytesPerFrame(false, false), LeanBytes = BytesPerFrame(true, false);
  const double FullMusic = BytesPerFrame(false, true), LeanMusic = BytesPerFrame(true, true);
  std::printf("bytes per frame (%d frames)   full %7.0f   lean %5.0f   lean/full %.3f\n", BYTE_FRAMES,
              FullBytes, LeanBytes, LeanBytes / FullBytes);
  std::printf("  with music                  full %7.0f   lean %5.0f   lean/full %.3f\n", FullMusic,
              LeanMusic, LeanMusic / FullMusic);
  std::fflush(stdout);

  for (double Rate : {960.0, 3840.0}) {
    const TSlow Full = SlowCaller(false, Rate, Seconds), Lean = SlowCaller(true, Rate, Seconds);
    std::printf("caller at %4.0f B/s: frames/s reaching it   full %6.2f   lean %6.2f   "
                "(it took %.0f and %.0f B/s)\n",
                Rate, Full.Fps, Lean.Fps, Full.Rate, Lean.Rate);
    std::fflush(stdout);
  }

  const double FullCpu = CpuPerFrame(false), LeanCpu = CpuPerFrame(true);
  std::printf("CPU per frame (door thread)   full %6.1f us   lean %6.1f us   lean/full %.2f\n", FullCpu,
              LeanCpu, LeanCpu / FullCpu);
  return 0;
}
