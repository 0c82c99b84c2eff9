// What the benchmarks share: the door program beside them, a caller on loopback TCP, a
// process's CPU time, the door started as a board starts it, frames counted off the wire,
// and (in the programs linked with the show) the show run frame by frame inside this one.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <string>
#include <string_view>

#include "doorkit/console.h"
#include "console_internal.h"
#include "doorkit/door.h"

using TBenchClock = std::chrono::steady_clock;

// The vantorama program in this program's folder, where the build puts both.
inline std::string BenchDoorPath() {
  char Buf[4096];
  const ssize_t N = readlink("/proc/self/exe", Buf, sizeof(Buf) - 1);
  if (N <= 0) return "vantorama";
  const std::string Self(Buf, static_cast<size_t>(N));
  return Self.substr(0, Self.rfind('/')) + "/vantorama";
}

// Nanoseconds the process has run on a CPU (the scheduler's own count); -1 once it is gone.
inline long long BenchCpuNs(pid_t APid) {
  std::ifstream F("/proc/" + std::to_string(APid) + "/schedstat");
  long long Ns = -1;
  F >> Ns;
  return Ns;
}

// Nanoseconds this program has run on a CPU, every thread together.
inline long long BenchSelfCpuNs() {
  timespec T{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &T);
  return static_cast<long long>(T.tv_sec) * 1000000000LL + T.tv_nsec;
}

// A getrusage time in microseconds.
inline double BenchMicroseconds(const timeval &ATime) {
  return static_cast<double>(ATime.tv_sec) * 1e6 + static_cast<double>(ATime.tv_usec);
}

// A board's listener hands the door the accepted end; the caller keeps the other. Only the
// door's end survives an exec, so a hundred doors never hold each other's callers.
inline bool BenchLoopbackPair(int &ADoor, int &ACaller) {
  const int L = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
  if (Ok) ADoor = accept(L, nullptr, nullptr);
  if (L >= 0) close(L);
  return Ok && ADoor >= 0;
}

// In a forked child: nothing on the sysop's terminal, nothing read from it.
inline void BenchStdioToDevNull() {
  const int Null = open("/dev/null", O_RDWR);
  dup2(Null, 0);
  dup2(Null, 1);
  dup2(Null, 2);
}

// The sysop's terminal as the benchmarks see it: 80x25, UTF-8, rendered into memory.
inline void BenchMemoryTerminal() {
  ConsoleReset();
  ConsoleSetTestTerminal(80, 25, true);
}

// The kit started in this process as a board starts a door: node 1, the caller's socket
// handed over by number.
inline void BenchDoorStartup(int ADoorFd) {
  std::string Socket = "-S" + std::to_string(ADoorFd);
  char Name[] = "vantorama", Node[] = "-N1";
  char *Argv[] = {Name, Node, Socket.data(), nullptr};
  DoorStartup(3, Argv);
}

// Starts the program ADoor as a board does (-N1 -S<handle>, the handle inherited) and
// closes this side's copy of the door's end. Returns the door's process id.
inline pid_t BenchSpawnDoor(const std::string &ADoor, int ADoorFd) {
  const pid_t Pid = fork();
  if (Pid == 0) {
    BenchStdioToDevNull();
    const std::string Socket = "-S" + std::to_string(ADoorFd);
    execl(ADoor.c_str(), "vantorama", "-N1", Socket.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(ADoorFd);
  return Pid;
}

// The caller types AKeys; a caller that has gone is no reason to stop the benchmark.
inline void BenchSendKeys(int ACaller, std::string_view AKeys) {
  send(ACaller, AKeys.data(), AKeys.size(), MSG_NOSIGNAL);
}

// The door started as above, its two questions answered no (no music, no picture), so it
// goes straight into its frames.
inline pid_t BenchStartShow(const std::string &ADoor, int ADoorFd, int ACaller) {
  const pid_t Pid = BenchSpawnDoor(ADoor, ADoorFd);
  BenchSendKeys(ACaller, "nn");
  return Pid;
}

// Ends a door that has not ended by itself.
inline void BenchKill(pid_t APid) {
  kill(APid, SIGKILL);
  waitpid(APid, nullptr, 0);
}

// What a caller has received. Each frame of the show starts with three moves to column 7 of
// the scroller's rows (ESC[2;7f, ESC[3;7f), so a third of those moves counts the frames.
struct TBenchWire {
  long long Bytes = 0;
  long long Gotos = 0;
  std::string Tail;  // the end of the last read, for a move split between two reads
};

inline long long BenchFrames(const TBenchWire &AWire) { return AWire.Gotos / 3; }

// Counts the moves in AData, read after what came before.
inline void BenchCountWire(TBenchWire &AWire, std::string_view AData) {
  AWire.Bytes += static_cast<long long>(AData.size());
  std::string S = AWire.Tail;
  S += AData;
  for (size_t At = S.find(";7f"); At != std::string::npos; At = S.find(";7f", At + 1)) {
    if (At >= 3 && (S.compare(At - 3, 3, "\x1b[2") == 0 || S.compare(At - 3, 3, "\x1b[3") == 0)) ++AWire.Gotos;
  }
  AWire.Tail = S.size() > 5 ? S.substr(S.size() - 5) : S;
}

// Reads and counts everything waiting on AFd, without waiting for more.
inline void BenchReadWire(int AFd, TBenchWire &AWire) {
  char Buf[65536];
  for (;;) {
    const ssize_t N = recv(AFd, Buf, sizeof(Buf), MSG_DONTWAIT);
    if (N <= 0) return;
    BenchCountWire(AWire, std::string_view(Buf, static_cast<size_t>(N)));
  }
}

// Waits up to ATimeoutMs for the door's output, then reads it as above.
inline void BenchPollWire(int AFd, TBenchWire &AWire, int ATimeoutMs) {
  pollfd P{AFd, POLLIN, 0};
  if (poll(&P, 1, ATimeoutMs) > 0) BenchReadWire(AFd, AWire);
}

// The show inside this program, as the door runs it: link mode on a socketpair whose far end
// a thread empties (the caller), the sysop's terminal rendered into memory, the frame's
// 25 ms sleep left out. Only where the program links the show (demoshow brings demo.h).
#if __has_include("demo.h")
#include <atomic>
#include <thread>

#include "doorkit/comm.h"
#include "comm_internal.h"
#include "demo.h"
#include "demo_internal.h"
#include "door_internal.h"

struct TBenchShow {
  int Fds[2] = {-1, -1};
  std::atomic<bool> Stop{false};
  std::atomic<long long> Received{0};  // bytes the caller got
  std::thread Reader;
  size_t BackdropBytes = 0;            // the first full screen the sysop's terminal got
};

// Starts the door and draws the backdrop, the random numbers seeded the same every run;
// ABuffered turns the link's out-buffer on, as the program does. False without a socketpair.
inline bool BenchShowStart(TBenchShow &AShow, bool ABuffered) {
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, AShow.Fds) != 0) return false;
  AShow.Reader = std::thread([&AShow] {
    char Buf[65536];
    while (!AShow.Stop) {
      pollfd P{AShow.Fds[1], POLLIN, 0};
      if (poll(&P, 1, 10) <= 0) continue;
      const ssize_t N = recv(AShow.Fds[1], Buf, sizeof Buf, MSG_DONTWAIT);
      if (N > 0) AShow.Received += N;
      if (N == 0) break;
    }
  });
  BenchMemoryTerminal();
  ConsoleSetSleep([](uint32_t) {});
  DoorReset();
  CommReset();
  BenchDoorStartup(AShow.Fds[0]);
  CommSetOutBuffer(ABuffered);
  ResetDemoState();
  DemoRandSeed(2025);
  InitializeSpiral();
  LoadBackground();
  ConsoleFlush();
  AShow.BackdropBytes = ConsoleTakeOutput().size();
  return true;
}

// One frame of the show's loop. Returns the bytes the sysop's terminal got for it.
inline size_t BenchShowFrame() {
  UpdateTopScroll();
  UpdateSpiral();
  CheckForExit();
  Delay(25);  // the console brings the terminal up to date here
  return ConsoleTakeOutput().size();
}

// Ends the door, the caller's thread and the console.
inline void BenchShowFinish(TBenchShow &AShow) {
  DoorShutdown();
  DoorReset();
  AShow.Stop = true;
  AShow.Reader.join();
  close(AShow.Fds[1]);
  ConsoleReset();
}
#endif  // __has_include("demo.h")
