// A caller's telnet client and the programs around it, for tests that run the built
// programs the way a board and a caller meet them: the client takes telnet commands off
// the stream and shows the rest on an independent terminal emulator (8-bit, as BBS
// terminals take the door's CP437 bytes); a child process is started with the
// descriptors a board hands over, its output kept, and it is never left running.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "doorkit/testkit.h"
#include "net.h"
#include "vtscreen.h"

namespace boards {

using TClock = std::chrono::steady_clock;

inline int MsLeft(TClock::time_point ADeadline) {
  const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - TClock::now()).count();
  return Left > 0 ? static_cast<int>(Left) : 0;
}

// One row of the caller's screen, one byte per cell.
inline std::string RowBytes(const TVtScreen &AVt, int AY) {
  std::string R;
  for (int X = 1; X <= 80; ++X) {
    const uint32_t C = VtChar(AVt, X, AY);
    R += static_cast<char>(C < 256 ? C : '?');
  }
  return R;
}

struct TTelnetCaller {
  int Fd = -1;  // the connection, or the pty a telnet client runs on; not owned
  TVtScreen Vt{80, 25, false};
  std::string Data;  // everything but telnet commands, as it came
  bool Closed = false;

  // Bold is the bright colours, as on a BBS terminal.
  TTelnetCaller() { vterm_state_set_bold_highbright(vterm_obtain_state(Vt.Term), 1); }

  // Telnet taken off as the test kit's caller does it.
  void Receive(std::string_view ABytes) {
    const std::string Show = DoorTestTelnetData(FState, ABytes);
    Data += Show;
    VtFeed(Vt, Show);
  }

  // Reads until APred holds, the far end closes, or ATimeoutMs pass; true if APred held.
  bool PumpUntil(const std::function<bool()> &APred, int ATimeoutMs) {
    const auto Deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
    char Buf[65536];
    while (!APred()) {
      if (Closed) return false;
      const int Left = MsLeft(Deadline);
      if (Left <= 0) return false;
      pollfd P{Fd, POLLIN, 0};
      if (poll(&P, 1, std::min(Left, 50)) <= 0) continue;
      const ssize_t N = read(Fd, Buf, sizeof(Buf));  // a socket, or a terminal's pty
      if (N > 0) Receive(std::string_view(Buf, static_cast<size_t>(N)));
      if (N == 0 || (N < 0 && errno != EAGAIN && errno != EINTR)) Closed = true;
    }
    return true;
  }

  void Pump(int AMs) { PumpUntil([] { return false; }, AMs); }

  std::string Row(int AY) const { return RowBytes(Vt, AY); }

  bool RowHas(int AY, int AX, std::string_view AText) const {
    return Row(AY).compare(static_cast<size_t>(AX - 1), AText.size(), AText) == 0;
  }

  bool Shows(int AY, int AX, std::string_view AText, int ATimeoutMs = 15000) {
    return PumpUntil([&] { return RowHas(AY, AX, AText); }, ATimeoutMs);
  }

  bool Saw(std::string_view AText, int ATimeoutMs = 15000) {
    return PumpUntil([&] { return Data.find(AText) != std::string::npos; }, ATimeoutMs);
  }

  bool Type(std::string_view AKeys) { return NetSend(Fd, AKeys); }

 private:
  int FState = 0;
};

// A program started in its own process group, standard output and error kept in Log.
struct TChild {
  pid_t Pid = -1;
  int Status = -1;
  std::string Log;

  TChild() = default;
  TChild(const TChild &) = delete;
  TChild &operator=(const TChild &) = delete;
  ~TChild() {
    if (Pid > 0) {
      kill(-Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
    if (FOut >= 0) close(FOut);
  }

  // AKeep: a descriptor the program inherits under its own number (-1: none).
  bool Start(const std::vector<std::string> &AArgs, const std::string &AFolder, int AKeep = -1) {
    int Pipe[2];
    if (pipe2(Pipe, O_CLOEXEC) != 0) return false;
    Pid = fork();
    if (Pid < 0) return false;
    if (Pid == 0) {
      setpgid(0, 0);
      if (AKeep >= 0) fcntl(AKeep, F_SETFD, 0);
      const int Null = open("/dev/null", O_RDONLY);
      dup2(Null, 0);
      dup2(Pipe[1], 1);
      dup2(Pipe[1], 2);
      if (!AFolder.empty() && chdir(AFolder.c_str()) != 0) _exit(126);
      std::vector<char *> Argv;
      for (const std::string &A : AArgs) Argv.push_back(const_cast<char *>(A.c_str()));
      Argv.push_back(nullptr);
      execv(Argv[0], Argv.data());
      _exit(127);
    }
    setpgid(Pid, Pid);
    close(Pipe[1]);
    FOut = Pipe[0];
    return true;
  }

  // Reads the program's output until it holds AText, or ATimeoutMs pass.
  bool LogHas(std::string_view AText, int ATimeoutMs) {
    const auto Deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (Log.find(AText) == std::string::npos) {
      const int Left = MsLeft(Deadline);
      if (Left <= 0 || FOut < 0) return false;
      ReadLog(Left);
    }
    return true;
  }

  // Waits for the program to end; true with Status set if it did within ATimeoutMs.
  // Meanwhile reads on, so the program never blocks on a full pipe or socket.
  bool Wait(int ATimeoutMs, TTelnetCaller *ACaller = nullptr) {
    const auto Deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (Pid > 0 && waitpid(Pid, &Status, WNOHANG) != Pid) {
      if (MsLeft(Deadline) <= 0) return false;
      ReadLog(20);
      if (ACaller) ACaller->Pump(20);
    }
    Pid = -1;
    // What it wrote last; bounded, in case something it started still holds the pipe.
    for (int I = 0; I < 10 && FOut >= 0; ++I) ReadLog(100);
    return true;
  }

  bool ExitedWith(int ACode) const { return WIFEXITED(Status) && WEXITSTATUS(Status) == ACode; }

 private:
  int FOut = -1;

  // One read of the output, waiting up to AMs for it; the end of the output closes it.
  void ReadLog(int AMs) {
    if (FOut < 0) return;
    pollfd P{FOut, POLLIN, 0};
    if (poll(&P, 1, AMs) <= 0) return;
    char Buf[4096];
    const ssize_t N = read(FOut, Buf, sizeof(Buf));
    if (N > 0) {
      Log.append(Buf, static_cast<size_t>(N));
    } else if (N == 0 || errno != EINTR) {
      close(FOut);
      FOut = -1;
    }
  }
};

}  // namespace boards
