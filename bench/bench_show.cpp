// The show's frame rate as a caller gets it: the built door runs against a loopback
// caller for 10 seconds of frames (music and picture off). Reports frames per second,
// bytes sent per frame and the door's CPU time per frame. A frame is 25 ms of sleep plus
// its output, so 40 frames per second is the ceiling.
//
// The door is the vantorama binary beside this program.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

using TClock = std::chrono::steady_clock;

constexpr double WINDOW_SECONDS = 10.0;

std::string DoorPath() {
  char Buf[4096];
  ssize_t N = readlink("/proc/self/exe", Buf, sizeof(Buf) - 1);
  if (N <= 0) return "vantorama";
  std::string Self(Buf, static_cast<size_t>(N));
  return Self.substr(0, Self.rfind('/')) + "/vantorama";
}

// Nanoseconds the process has run on a CPU (the scheduler's own count).
long long CpuNs(pid_t APid) {
  std::ifstream F("/proc/" + std::to_string(APid) + "/schedstat");
  long long Ns = -1;
  F >> Ns;
  return Ns;
}

struct TLink {
  int Door = -1, Caller = -1;
};

bool LoopbackPair(TLink &ALink) {
  int L = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof(A);
  bool Ok = L >= 0 && bind(L, reinterpret_cast<sockaddr *>(&A), sizeof(A)) == 0 && listen(L, 1) == 0 &&
            getsockname(L, reinterpret_cast<sockaddr *>(&A), &Len) == 0;
  if (Ok) {
    ALink.Caller = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Ok = connect(ALink.Caller, reinterpret_cast<sockaddr *>(&A), sizeof(A)) == 0;
  }
  if (Ok) ALink.Door = accept(L, nullptr, nullptr);  // inherited by the door: no CLOEXEC
  if (L >= 0) close(L);
  return Ok && ALink.Door >= 0;
}

// Reads the door's output, counting frames: each starts with three moves to column 7 of
// the scroller's rows.
struct TCounter {
  long long Bytes = 0;
  long long Gotos = 0;
  std::string Tail;

  long long Frames() const { return Gotos / 3; }

  bool Read(int AFd, int ATimeoutMs) {
    pollfd P{AFd, POLLIN, 0};
    if (poll(&P, 1, ATimeoutMs) <= 0) return false;
    char Buf[65536];
    ssize_t N = recv(AFd, Buf, sizeof(Buf), MSG_DONTWAIT);
    if (N <= 0) return false;
    Bytes += N;
    std::string S = Tail + std::string(Buf, static_cast<size_t>(N));
    for (size_t At = S.find(";7f"); At != std::string::npos; At = S.find(";7f", At + 1)) {
      if (At >= 3 && (S.compare(At - 3, 3, "\x1b[2") == 0 || S.compare(At - 3, 3, "\x1b[3") == 0)) ++Gotos;
    }
    Tail = S.size() > 5 ? S.substr(S.size() - 5) : S;
    return true;
  }
};

void BM_ShowFrameRate(benchmark::State &AState) {
  for (auto _ : AState) {
    TLink Link;
    if (!LoopbackPair(Link)) {
      AState.SkipWithError("no loopback connection");
      return;
    }
    const std::string Door = DoorPath();
    pid_t Pid = fork();
    if (Pid == 0) {
      int Null = open("/dev/null", O_RDWR);
      dup2(Null, 0);
      dup2(Null, 1);
      dup2(Null, 2);
      std::string Socket = "-S" + std::to_string(Link.Door);
      execl(Door.c_str(), "vantorama", "-N1", Socket.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    close(Link.Door);
    TCounter C;
    send(Link.Caller, "nn", 2, MSG_NOSIGNAL);  // no music, no picture

    // Start counting once the show has settled into its frames.
    auto Deadline = TClock::now() + std::chrono::seconds(10);
    while (C.Frames() < 5 && TClock::now() < Deadline) C.Read(Link.Caller, 50);
    if (C.Frames() < 5) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
      AState.SkipWithError(("the show did not start: " + Door).c_str());
      return;
    }
    const long long Frames0 = C.Frames(), Bytes0 = C.Bytes, Cpu0 = CpuNs(Pid);
    const auto T0 = TClock::now();
    const auto End = T0 + std::chrono::duration<double>(WINDOW_SECONDS);
    while (TClock::now() < End) C.Read(Link.Caller, 5);
    const double Seconds = std::chrono::duration<double>(TClock::now() - T0).count();
    const long long Frames = C.Frames() - Frames0, Bytes = C.Bytes - Bytes0, Cpu = CpuNs(Pid) - Cpu0;

    send(Link.Caller, "q", 1, MSG_NOSIGNAL);
    int Status = 0;
    rusage Usage{};
    Deadline = TClock::now() + std::chrono::seconds(10);
    while (wait4(Pid, &Status, WNOHANG, &Usage) != Pid) {
      if (TClock::now() > Deadline) {
        kill(Pid, SIGKILL);
        wait4(Pid, &Status, 0, &Usage);
        break;
      }
      C.Read(Link.Caller, 5);
    }
    close(Link.Caller);
    const double UserUs = static_cast<double>(Usage.ru_utime.tv_sec) * 1e6 + static_cast<double>(Usage.ru_utime.tv_usec);
    const double SystemUs = static_cast<double>(Usage.ru_stime.tv_sec) * 1e6 + static_cast<double>(Usage.ru_stime.tv_usec);
    const double RusageUs = UserUs + SystemUs;

    const double Fps = static_cast<double>(Frames) / Seconds;
    const double BytesPerFrame = static_cast<double>(Bytes) / static_cast<double>(Frames);
    const double CpuUsPerFrame = static_cast<double>(Cpu) / 1e3 / static_cast<double>(Frames);
    // The whole run's CPU, start-up and farewell included, over every frame drawn.
    const double RunCpuUsPerFrame = RusageUs / static_cast<double>(C.Frames());
    AState.counters["fps"] = Fps;
    AState.counters["bytes_per_frame"] = BytesPerFrame;
    AState.counters["cpu_us_per_frame"] = CpuUsPerFrame;
    AState.counters["run_cpu_us_per_frame"] = RunCpuUsPerFrame;
    AState.counters["user_us_per_frame"] = UserUs / static_cast<double>(C.Frames());
    AState.counters["system_us_per_frame"] = SystemUs / static_cast<double>(C.Frames());
    std::printf("show: %lld frames in %.2f s = %.2f fps, %.0f bytes/frame, door CPU %.1f us/frame "
                "(whole run by getrusage: %.1f us/frame over %lld frames, %.1f user + %.1f system)\n",
                Frames, Seconds, Fps, BytesPerFrame, CpuUsPerFrame, RunCpuUsPerFrame, C.Frames(),
                UserUs / static_cast<double>(C.Frames()), SystemUs / static_cast<double>(C.Frames()));
  }
}
BENCHMARK(BM_ShowFrameRate)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
