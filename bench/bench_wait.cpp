// A door that waits with nothing happening: the CPU it takes per second of waiting, as a
// share of one core, at the sysop's local login prompt (the vantorama program on a
// pseudo-terminal), at the show's first question (the program with a caller on loopback
// TCP, the event pump running) and at a MORE prompt (the kit in a child of this program,
// link mode, backtick codes on). The goal is under 0.1 % of a core each.
#include <benchmark/benchmark.h>

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_support.h"

namespace {

constexpr double SETTLE_SECONDS = 1.5;
constexpr double WINDOW_SECONDS = 5.0;

// Reads whatever the door writes (its terminal, its caller) while it waits, so it never
// blocks on a write, and measures its CPU over the window.
double Measure(pid_t APid, int AFd1, int AFd2) {
  auto Drain = [&](double ASeconds) {
    const auto End = TBenchClock::now() + std::chrono::duration<double>(ASeconds);
    while (TBenchClock::now() < End) {
      pollfd P[2] = {{AFd1, POLLIN, 0}, {AFd2, POLLIN, 0}};
      if (poll(P, 2, 50) <= 0) continue;
      char Buf[65536];
      for (pollfd &Q : P)
        if (Q.fd >= 0 && (Q.revents & POLLIN) && read(Q.fd, Buf, sizeof Buf) <= 0) Q.fd = -1;
    }
  };
  Drain(SETTLE_SECONDS);
  const long long C0 = BenchCpuNs(APid);
  const auto T0 = TBenchClock::now();
  Drain(WINDOW_SECONDS);
  const long long C1 = BenchCpuNs(APid);
  const double Seconds = std::chrono::duration<double>(TBenchClock::now() - T0).count();
  BenchKill(APid);
  return C0 < 0 || C1 < 0 ? -1 : static_cast<double>(C1 - C0) / 1e9 / Seconds * 100.0;
}

void Report(benchmark::State &AState, const char *AName, double APercent) {
  if (APercent < 0) {
    AState.SkipWithError("the door did not run");
    return;
  }
  AState.counters["cpu_percent_of_a_core"] = APercent;
  std::printf("%s: %.4f %% of a core\n", AName, APercent);
}

void BM_WaitLocalLogin(benchmark::State &AState) {
  const std::string Door = BenchDoorPath();
  for (auto _ : AState) {
    int Master = -1;
    winsize Size{};
    Size.ws_row = 25;
    Size.ws_col = 80;
    pid_t Pid = forkpty(&Master, nullptr, nullptr, &Size);
    if (Pid == 0) {
      setenv("TERM", "xterm", 1);
      execl(Door.c_str(), "vantorama", static_cast<char *>(nullptr));
      _exit(127);
    }
    Report(AState, "local login prompt", Measure(Pid, Master, -1));
    close(Master);
  }
}
BENCHMARK(BM_WaitLocalLogin)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_WaitQuestion(benchmark::State &AState) {
  const std::string Door = BenchDoorPath();
  for (auto _ : AState) {
    int DoorFd = -1, Caller = -1;
    if (!BenchLoopbackPair(DoorFd, Caller)) {
      AState.SkipWithError("no loopback connection");
      return;
    }
    const pid_t Pid = BenchSpawnDoor(Door, DoorFd);
    Report(AState, "first question, caller on the link", Measure(Pid, Caller, -1));
    close(Caller);
  }
}
BENCHMARK(BM_WaitQuestion)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_WaitMorePrompt(benchmark::State &AState) {
  for (auto _ : AState) {
    int DoorFd = -1, Caller = -1;
    if (!BenchLoopbackPair(DoorFd, Caller)) {
      AState.SkipWithError("no loopback connection");
      return;
    }
    pid_t Pid = fork();
    if (Pid == 0) {
      BenchStdioToDevNull();
      BenchDoorStartup(DoorFd);
      DoorSession.TolvarWrite = true;
      DoorWrite("Page one.`k");
      std::exit(0);
    }
    close(DoorFd);
    Report(AState, "MORE prompt, caller on the link", Measure(Pid, Caller, -1));
    close(Caller);
  }
}
BENCHMARK(BM_WaitMorePrompt)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
