// One door as a board runs it, for tests of the built door under real conditions: the
// caller's connection on loopback TCP, inherited as -N1 -S<fd>, the sysop's terminal a real
// pseudo-terminal shown on an independent emulator.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "caller.h"
#include "net.h"
#include "vtscreen.h"

namespace e2e {

using std::chrono::milliseconds;

// What the console sends when it gives the sysop's terminal back.
constexpr const char *kGoodbye = "\x1b[0m\x1b[?7h\x1b[?25h";

inline std::string BinFolder() {
  std::string Bin = VANTORAMA_BIN;
  return Bin.substr(0, Bin.rfind('/'));
}

struct TNodeOptions {
  int RcvBuf = 0;               // > 0: the caller's (and the door's) socket buffers
  int Cols = 80, Rows = 25;     // the sysop's terminal
  std::vector<std::string> Args{"-N1", "-S{fd}"};  // {fd}: the caller's descriptor
  bool SocketOnStdin = false;   // the board puts the caller's socket on descriptor 0 (inetd)
};

// One door, its local console on a pseudo-terminal.
struct TNodeRun {
  TNetPair Pair;  // Door: the board's descriptor, inherited by the door; Peer: the caller
  int Master = -1;
  pid_t Pid = -1;
  int Status = -1;
  e2e::TCaller Caller;
  TVtScreen Local{80, 25, true};
  std::string LocalLog;
  TClock::time_point Ended{};

  TNodeRun() = default;
  TNodeRun(const TNodeRun &) = delete;
  TNodeRun &operator=(const TNodeRun &) = delete;
  ~TNodeRun() {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
    if (Master >= 0) close(Master);
  }

  // ARcvBuf > 0: the caller's receive buffer, so a caller who stops reading stalls soon.
  bool Start(int ARcvBuf = 0) {
    TNodeOptions O;
    O.RcvBuf = ARcvBuf;
    return Start(O);
  }

  bool Start(const TNodeOptions &AOptions) {
    if (!NetTcpPair(Pair)) return false;
    if (AOptions.RcvBuf > 0) {
      setsockopt(Pair.Peer, SOL_SOCKET, SO_RCVBUF, &AOptions.RcvBuf, sizeof AOptions.RcvBuf);
      setsockopt(Pair.Door, SOL_SOCKET, SO_SNDBUF, &AOptions.RcvBuf, sizeof AOptions.RcvBuf);  // the door's socket too
    }
    VtResize(Local, AOptions.Cols, AOptions.Rows);
    winsize Size{};
    Size.ws_row = static_cast<unsigned short>(AOptions.Rows);
    Size.ws_col = static_cast<unsigned short>(AOptions.Cols);
    Pid = forkpty(&Master, nullptr, nullptr, &Size);
    if (Pid < 0) return false;
    if (Pid == 0) {
      int Handle = Pair.Door;
      if (AOptions.SocketOnStdin) {
        dup2(Pair.Door, STDIN_FILENO);
        close(Pair.Door);
        Handle = STDIN_FILENO;
      }
      fcntl(Handle, F_SETFD, 0);
      if (chdir(BinFolder().c_str()) != 0) _exit(126);
      setenv("TERM", "xterm", 1);
      setenv("LC_ALL", "C.UTF-8", 1);
      std::vector<std::string> Args{"vantorama"};
      for (std::string A : AOptions.Args) {
        const size_t At = A.find("{fd}");
        if (At != std::string::npos) A.replace(At, 4, std::to_string(Handle));
        Args.push_back(A);
      }
      std::vector<char *> Argv;
      for (std::string &A : Args) Argv.push_back(A.data());
      Argv.push_back(nullptr);
      execv(VANTORAMA_BIN, Argv.data());
      _exit(127);
    }
    fcntl(Master, F_SETFD, FD_CLOEXEC);  // the next door must not hold this one's terminal
    return true;
  }

  bool Running() const { return Pid > 0; }

  // Takes what is there on both screens without waiting; notices the end of the door.
  void Pump() {
    char Buf[65536];
    if (Pair.Peer >= 0 && !Caller.Closed) {
      for (;;) {
        ssize_t N = recv(Pair.Peer, Buf, sizeof Buf, MSG_DONTWAIT);
        if (N > 0) Caller.Receive(std::string_view(Buf, static_cast<size_t>(N)));
        if (N == 0) Caller.Closed = true;
        if (N <= 0) break;
      }
    }
    if (Master >= 0) {
      for (;;) {
        pollfd P{Master, POLLIN, 0};
        if (poll(&P, 1, 0) <= 0) break;
        ssize_t N = read(Master, Buf, sizeof Buf);
        if (N <= 0) break;
        LocalLog.append(Buf, static_cast<size_t>(N));
        VtFeed(Local, std::string_view(Buf, static_cast<size_t>(N)));
      }
    }
    if (Pid > 0 && waitpid(Pid, &Status, WNOHANG) == Pid) {
      Pid = -1;
      Ended = TClock::now();
    }
  }

  void Fds(std::vector<pollfd> &AOut) const {
    if (Pair.Peer >= 0 && !Caller.Closed) AOut.push_back({Pair.Peer, POLLIN, 0});
    if (Master >= 0) AOut.push_back({Master, POLLIN, 0});
  }

  // Pumps until APred holds or ATimeoutMs pass.
  bool PumpUntil(const std::function<bool()> &APred, int ATimeoutMs) {
    const auto Deadline = TClock::now() + milliseconds(ATimeoutMs);
    for (;;) {
      Pump();
      if (APred()) return true;
      if (TClock::now() > Deadline) return false;
      std::vector<pollfd> P;
      Fds(P);
      poll(P.data(), P.size(), 10);
    }
  }

  bool CallerSees(int AY, const std::string &AText) const { return Caller.Row(AY).find(AText) != std::string::npos; }
  bool SysopSees(int AY, const std::string &AText) const { return VtRowText(Local, AY).find(AText) != std::string::npos; }
  // The row of the sysop's screen that shows AText, 0 if none: giving the terminal back
  // leaves the cursor on a new line below the screen, which may scroll it up a row.
  int SysopRow(const std::string &AText) const {
    for (int Y = 1; Y <= 25; ++Y)
      if (SysopSees(Y, AText)) return Y;
    return 0;
  }

  void Type(std::string_view AKeys) { NetSend(Pair.Peer, AKeys); }

  // The caller's end goes: an orderly close (FIN), or a reset (RST, SO_LINGER 0).
  void Drop(bool AReset) {
    if (AReset) {
      linger L{1, 0};
      setsockopt(Pair.Peer, SOL_SOCKET, SO_LINGER, &L, sizeof L);
    }
    NetClose(Pair.Peer);
  }

  // The sysop's terminal as the door left it: cooked keyboard, colours reset, cursor shown.
  bool TerminalGivenBack() const {
    termios T{};
    if (Master < 0 || tcgetattr(Master, &T) != 0) return false;
    const bool Cooked = (T.c_lflag & ICANON) && (T.c_lflag & ECHO);
    return Cooked && LocalLog.rfind(kGoodbye) != std::string::npos && Local.CursorVisible;
  }
};

}  // namespace e2e
