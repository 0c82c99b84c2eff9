// The sysop's view: what a watcher costs the door, and how soon it shows a frame.
//
// BM_ShowFrameWatched: one frame of the show inside this program (as bench_frame runs it,
// but a millisecond apart),
// without the watch socket (0), with it and nobody watching (1), and with the real doorwatch
// attached (2), on an 80x25 pseudo-terminal that a thread empties. CPU is this thread's, the door's; the watcher's own CPU per frame
// is a counter.
// BM_WatcherLatency: from the door sending a frame (the caller's bytes on the wire and the
// watchers' in one flush) to that frame standing on doorwatch's terminal, read by libvterm.
#include <benchmark/benchmark.h>

#include <pty.h>
#include <sys/stat.h>
#include <termios.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench_support.h"
#include "console_watch.h"
#include "vtscreen.h"

namespace {

std::string BesideMe(const char *AName) {
  const std::string Door = BenchDoorPath();
  return Door.substr(0, Door.rfind('/') + 1) + AName;
}

// The sockets of this run, apart from any real door's.
void OwnRuntimeFolder() {
  static std::string Folder;
  if (!Folder.empty()) return;
  char Template[] = "/tmp/bench-watch-XXXXXX";
  Folder = mkdtemp(Template);
  setenv("XDG_RUNTIME_DIR", Folder.c_str(), 1);
}

struct TWatcherRun {
  pid_t Pid = -1;
  int Master = -1;
  std::atomic<bool> Stop{false};
  std::atomic<long long> Bytes{0};
  std::thread Reader;  // empties the terminal, unless the benchmark reads it itself

  // doorwatch on node 1, on a terminal of 80x25 in a UTF-8 locale.
  bool Start(bool AReader) {
    winsize Size{25, 80, 0, 0};
    Pid = forkpty(&Master, nullptr, nullptr, &Size);
    if (Pid < 0) return false;
    if (Pid == 0) {
      setenv("LANG", "C.UTF-8", 1);
      setenv("TERM", "xterm", 1);
      const std::string Watch = BesideMe("doorwatch");
      execl(Watch.c_str(), "doorwatch", "1", static_cast<char *>(nullptr));
      _exit(127);
    }
    if (!AReader) return true;
    Reader = std::thread([this] {
      char Buf[65536];
      while (!Stop) {
        pollfd P{Master, POLLIN, 0};
        if (poll(&P, 1, 10) <= 0) continue;
        const ssize_t N = read(Master, Buf, sizeof Buf);
        if (N <= 0) break;
        Bytes += N;
      }
    });
    return true;
  }

  ~TWatcherRun() {
    Stop = true;
    if (Reader.joinable()) Reader.join();
    if (Pid > 0) BenchKill(Pid);
    if (Master >= 0) close(Master);
  }
};

// Runs frames until doorwatch has attached; false when it does not within 10 seconds.
template <typename TFrame>
bool UntilAttached(TFrame AFrame) {
  const auto Deadline = TBenchClock::now() + std::chrono::seconds(10);
  while (ConsoleWatchCount() < 1) {
    if (TBenchClock::now() > Deadline) return false;
    AFrame();
    usleep(1000);
  }
  return true;
}

void BM_ShowFrameWatched(benchmark::State &AState) {
  OwnRuntimeFolder();
  TBenchShow Show;
  if (!BenchShowStart(Show, true)) {
    AState.SkipWithError("no socketpair");
    return;
  }
  // A millisecond between frames rather than none: a watcher keeps up with the show's 40
  // frames a second, not with thousands (it would be dropped as one that stopped reading).
  ConsoleSetSleep([](uint32_t) { usleep(1000); });
  TWatcherRun Watcher;
  if (AState.range(0) == 0) ConsoleWatchClose();  // as with -P: no socket at all
  if (AState.range(0) == 2) {
    if (!Watcher.Start(true) || !UntilAttached([] { BenchShowFrame(); })) {
      BenchShowFinish(Show);
      AState.SkipWithError("doorwatch did not attach");
      return;
    }
  }
  const long long Cpu0 = Watcher.Pid > 0 ? BenchCpuNs(Watcher.Pid) : 0;
  const long long Bytes0 = Watcher.Bytes;
  long long Frames = 0;
  for (auto _ : AState) {
    BenchShowFrame();
    ++Frames;
  }
  if (Watcher.Pid > 0) {
    if (ConsoleWatchCount() < 1) AState.SkipWithError("doorwatch fell behind and was dropped");
    usleep(50 * 1000);  // the watcher draws the last frames
    AState.counters["watcher_cpu_us_per_frame"] =
        static_cast<double>(BenchCpuNs(Watcher.Pid) - Cpu0) / 1000.0 / static_cast<double>(Frames);
    AState.counters["watcher_terminal_bytes_per_frame"] =
        static_cast<double>(Watcher.Bytes - Bytes0) / static_cast<double>(Frames);
  }
  BenchShowFinish(Show);
}
// 0: no socket (-P); 1: the socket open, nobody watching; 2: doorwatch attached.
BENCHMARK(BM_ShowFrameWatched)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_WatcherLatency(benchmark::State &AState) {
  OwnRuntimeFolder();
  TBenchShow Show;
  if (!BenchShowStart(Show, true)) {
    AState.SkipWithError("no socketpair");
    return;
  }
  TWatcherRun Watcher;
  TVtScreen Screen(80, 25, true);
  // Until it attaches the terminal is read here too, so that doorwatch never blocks on it.
  auto ReadTerminal = [&](int ATimeoutMs) {
    pollfd P{Watcher.Master, POLLIN, 0};
    if (poll(&P, 1, ATimeoutMs) <= 0) return;
    char Buf[65536];
    const ssize_t N = read(Watcher.Master, Buf, sizeof Buf);
    if (N > 0) VtFeed(Screen, std::string_view(Buf, static_cast<size_t>(N)));
  };
  if (!Watcher.Start(false) || !UntilAttached([&] {
        ConsoleFlush();
        ReadTerminal(0);
      })) {
    BenchShowFinish(Show);
    AState.SkipWithError("doorwatch did not attach");
    return;
  }
  long long N = 0;
  for (auto _ : AState) {
    char Text[32];
    std::snprintf(Text, sizeof Text, "frame %09lld", ++N);
    const auto Start = TBenchClock::now();
    DoorGotoXY(10, 12);
    DoorWrite(Text);
    ConsoleFlush();  // out to the caller and the watchers
    CommFlushOutBuffer();
    while (VtRowText(Screen, 12).find(Text) == std::string::npos) {
      if (TBenchClock::now() - Start > std::chrono::seconds(5)) {
        AState.SkipWithError("the frame never reached the watcher's screen");
        break;
      }
      ReadTerminal(100);
    }
    AState.SetIterationTime(std::chrono::duration<double>(TBenchClock::now() - Start).count());
  }
  BenchShowFinish(Show);
}
BENCHMARK(BM_WatcherLatency)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace

BENCHMARK_MAIN();
