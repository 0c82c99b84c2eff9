// A board with 100 nodes busy at once on this machine: 100 doors, each with its own caller on
// loopback TCP, all in the show for 10 seconds. Reports the frame rate of the slowest door
// (and the median), the CPU all doors took together, and the CPU of the callers' side (this
// program reading every connection). A frame is 25 ms of sleep plus its output, so 40 frames
// per second is the ceiling.
//
// Two kinds of door: "binary" runs the vantorama program beside this one, as a board does;
// "buffered" runs the same show in a child of this program with the link's out-buffer on
// (CommSetOutBuffer), so each frame goes to the caller in one send.
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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "comm.h"
#include "console.h"
#include "demo.h"
#include "door.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr int NODES = 100;
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

long long SelfCpuNs() {
  timespec T{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &T);
  return static_cast<long long>(T.tv_sec) * 1000000000LL + T.tv_nsec;
}

// A board's listener hands the door the accepted end; the caller keeps the other.
bool LoopbackPair(int &ADoor, int &ACaller) {
  int L = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof(A);
  bool Ok = L >= 0 && bind(L, reinterpret_cast<sockaddr *>(&A), sizeof(A)) == 0 && listen(L, 1) == 0 &&
            getsockname(L, reinterpret_cast<sockaddr *>(&A), &Len) == 0;
  if (Ok) {
    ACaller = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Ok = connect(ACaller, reinterpret_cast<sockaddr *>(&A), sizeof(A)) == 0;
  }
  if (Ok) ADoor = accept(L, nullptr, nullptr);  // inherited by the door: no CLOEXEC
  if (L >= 0) close(L);
  return Ok && ADoor >= 0;
}

// The show as the program's entry runs it, with the link's out-buffer on.
[[noreturn]] void BufferedDoor(int ADoorFd) {
  std::string Socket = "-S" + std::to_string(ADoorFd);
  char Name[] = "vantorama", Node[] = "-N1";
  char *Argv[] = {Name, Node, Socket.data(), nullptr};
  DemoRandomize();
  DoorStartup(3, Argv);
  CommSetOutBuffer(true);
  ResetDemoState();
  UseAnsiMusic = AskUseAnsiMusic();
  UseSixel = AskUseSixel();
  InitializeSpiral();
  LoadBackground();
  while (!ExitRequested) {
    UpdateTopScroll();
    UpdateSpiral();
    ExitRequested = CheckForExit();
    Delay(25);
  }
  DoorClrScr();
  DoorShutdown();
  std::exit(0);
}

// Counts a caller's frames off the wire: each starts with three moves to column 7 of the
// scroller's rows.
struct TCaller {
  int Fd = -1;
  pid_t Pid = -1;
  long long Gotos = 0;
  std::string Tail;
  long long Frames0 = 0, Cpu0 = 0, Frames = 0, Cpu = 0;

  long long FramesNow() const { return Gotos / 3; }

  void Read() {
    char Buf[65536];
    for (;;) {
      ssize_t N = recv(Fd, Buf, sizeof(Buf), MSG_DONTWAIT);
      if (N <= 0) return;
      std::string S = Tail + std::string(Buf, static_cast<size_t>(N));
      for (size_t At = S.find(";7f"); At != std::string::npos; At = S.find(";7f", At + 1)) {
        if (At >= 3 && (S.compare(At - 3, 3, "\x1b[2") == 0 || S.compare(At - 3, 3, "\x1b[3") == 0)) ++Gotos;
      }
      Tail = S.size() > 5 ? S.substr(S.size() - 5) : S;
    }
  }
};

void ReadAll(std::vector<TCaller> &ACallers, int ATimeoutMs) {
  std::vector<pollfd> P;
  for (const TCaller &C : ACallers) P.push_back({C.Fd, POLLIN, 0});
  if (poll(P.data(), P.size(), ATimeoutMs) <= 0) return;
  for (size_t I = 0; I < P.size(); ++I)
    if (P[I].revents) ACallers[I].Read();
}

void BM_Nodes(benchmark::State &AState) {
  const bool Buffered = AState.range(0) != 0;
  const std::string Door = DoorPath();
  for (auto _ : AState) {
    std::vector<TCaller> Callers(NODES);
    for (TCaller &C : Callers) {
      int DoorFd = -1;
      if (!LoopbackPair(DoorFd, C.Fd)) {
        AState.SkipWithError("no loopback connection");
        return;
      }
      C.Pid = fork();
      if (C.Pid == 0) {
        int Null = open("/dev/null", O_RDWR);
        dup2(Null, 0);
        dup2(Null, 1);
        dup2(Null, 2);
        if (Buffered) BufferedDoor(DoorFd);
        std::string Socket = "-S" + std::to_string(DoorFd);
        execl(Door.c_str(), "vantorama", "-N1", Socket.c_str(), static_cast<char *>(nullptr));
        _exit(127);
      }
      close(DoorFd);
      send(C.Fd, "nn", 2, MSG_NOSIGNAL);  // no music, no picture
    }

    // Every door in its frames first.
    auto Deadline = TClock::now() + std::chrono::seconds(60);
    auto AllStarted = [&] {
      return std::all_of(Callers.begin(), Callers.end(), [](const TCaller &C) { return C.FramesNow() >= 5; });
    };
    while (!AllStarted() && TClock::now() < Deadline) ReadAll(Callers, 20);
    bool Started = AllStarted();
    if (Started) {
      for (TCaller &C : Callers) {
        C.Frames0 = C.FramesNow();
        C.Cpu0 = CpuNs(C.Pid);
      }
      const long long Self0 = SelfCpuNs();
      const auto T0 = TClock::now();
      while (TClock::now() < T0 + std::chrono::duration<double>(WINDOW_SECONDS)) ReadAll(Callers, 5);
      const double Seconds = std::chrono::duration<double>(TClock::now() - T0).count();
      const long long Self = SelfCpuNs() - Self0;
      std::vector<double> Fps;
      long long DoorCpu = 0;
      for (TCaller &C : Callers) {
        C.Frames = C.FramesNow() - C.Frames0;
        C.Cpu = CpuNs(C.Pid) - C.Cpu0;
        DoorCpu += C.Cpu;
        Fps.push_back(static_cast<double>(C.Frames) / Seconds);
      }
      std::sort(Fps.begin(), Fps.end());
      AState.counters["slowest_fps"] = Fps.front();
      AState.counters["median_fps"] = Fps[Fps.size() / 2];
      AState.counters["doors_cpu_cores"] = static_cast<double>(DoorCpu) / 1e9 / Seconds;
      AState.counters["callers_cpu_cores"] = static_cast<double>(Self) / 1e9 / Seconds;
      std::printf("%s: %d doors, slowest %.2f fps, median %.2f, fastest %.2f; doors %.2f cores, callers %.2f cores "
                  "(%.0f us per frame per door)\n",
                  Buffered ? "buffered" : "binary", NODES, Fps.front(), Fps[Fps.size() / 2], Fps.back(),
                  static_cast<double>(DoorCpu) / 1e9 / Seconds, static_cast<double>(Self) / 1e9 / Seconds,
                  static_cast<double>(DoorCpu) / 1e3 / static_cast<double>(std::max(1.0, Fps[Fps.size() / 2] * Seconds * NODES)));
    }

    for (TCaller &C : Callers) send(C.Fd, "q", 1, MSG_NOSIGNAL);
    Deadline = TClock::now() + std::chrono::seconds(20);
    size_t Left = Callers.size();
    while (Left > 0 && TClock::now() < Deadline) {
      ReadAll(Callers, 10);
      for (TCaller &C : Callers) {
        if (C.Pid > 0 && waitpid(C.Pid, nullptr, WNOHANG) == C.Pid) {
          C.Pid = -1;
          --Left;
        }
      }
    }
    for (TCaller &C : Callers) {
      if (C.Pid > 0) {
        kill(C.Pid, SIGKILL);
        waitpid(C.Pid, nullptr, 0);
      }
      close(C.Fd);
    }
    if (!Started) {
      AState.SkipWithError(("not every door started its show: " + Door).c_str());
      return;
    }
  }
}
// 0: the vantorama program as it is; 1: the show with the out-buffer on.
BENCHMARK(BM_Nodes)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
