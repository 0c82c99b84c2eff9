// The far side of a door run, for end-to-end tests of the built door: a board that
// accepts a caller on loopback and starts the door with the socket inherited, and the
// caller's telnet client, which answers nothing, plays ANSI music (it takes the note
// sequences off the stream) and shows the rest on an independent terminal emulator.
//
// The caller also counts the show's frames from the wire: every frame starts by blanking
// the scroller's two rows from column 7, then draws its line there, so three cursor moves
// to column 7 of rows 2 or 3 make one frame. Before the first byte of each frame the
// screen is exactly what the previous frame left; the caller keeps rows of it then.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "doorkit/testkit.h"
#include "net.h"
#include "vtscreen.h"

namespace e2e {

using TClock = std::chrono::steady_clock;

// What the caller's screen showed at the end of one frame.
struct TFrameShot {
  std::string Row2, Row3, Row12;  // columns 1 to 80, one byte per cell (Latin-1 view)
  std::vector<uint8_t> Row12Attr;
  uint8_t Row2Attr7 = 0, Row3Attr7 = 0;  // the scroller's first cell
};

// One cell as one byte: the caller's terminal takes the door's bytes as 8-bit characters.
inline char CellByte(const TVtScreen &AVt, int AX, int AY) {
  uint32_t C = VtChar(AVt, AX, AY);
  return static_cast<char>(C < 256 ? C : '?');
}

inline std::string RowBytes(const TVtScreen &AVt, int AY) {
  std::string R;
  for (int X = 1; X <= 80; ++X) R += CellByte(AVt, X, AY);
  return R;
}

struct TCaller {
  TVtScreen Vt{80, 25, false};
  std::string Raw;                          // everything after telnet, music included
  std::vector<std::pair<int, std::string>> Notes;  // frame, music text
  std::map<int, TFrameShot> Shots;          // by frame number
  int Frames = 0;                           // frames started
  int Gotos = 0;
  bool Closed = false;

  TCaller() { vterm_state_set_bold_highbright(vterm_obtain_state(Vt.Term), 1); }

  // Telnet: the door's option announcements are answered by nothing and dropped.
  void Receive(std::string_view ABytes) {
    FPending += DoorTestTelnetData(FIac, ABytes);
    Process(false);
  }

  // Feeds the pending bytes, cutting them at frame starts. A tail that may be the start of
  // a cursor move to column 7 waits for more unless AFinal, so such a move is never split.
  void Process(bool AFinal) {
    size_t Limit = FPending.size();
    const size_t Esc = FPending.rfind('\x1b');
    if (!AFinal && Esc != std::string::npos && FPending.size() - Esc < 6) {
      const std::string Tail = FPending.substr(Esc);
      if (std::string("\x1b[2;7f").starts_with(Tail) || std::string("\x1b[3;7f").starts_with(Tail)) Limit = Esc;
    }
    size_t Pos = 0;
    for (;;) {
      size_t M2 = FPending.find("\x1b[2;7f", Pos), M3 = FPending.find("\x1b[3;7f", Pos);
      size_t M = std::min(M2, M3);
      if (M == std::string::npos || M >= Limit) break;
      Feed(std::string_view(FPending).substr(Pos, M - Pos));
      if (Gotos++ % 3 == 0) {
        if (Frames > 0) Shot(Frames);
        ++Frames;
      }
      Feed(std::string_view(FPending).substr(M, 6));
      Pos = M + 6;
    }
    if (Limit > Pos) {
      Feed(std::string_view(FPending).substr(Pos, Limit - Pos));
      Pos = Limit;
    }
    FPending.erase(0, Pos);
  }

  // ANSI music (ESC [ N ... SO) is played, not shown; the rest goes to the screen.
  void Feed(std::string_view ABytes) {
    Raw.append(ABytes);
    std::string Show;
    for (char Ch : ABytes) {
      if (FMusic) {
        if (Ch == '\x0e') {
          Notes.emplace_back(Frames, FNote);
          FNote.clear();
          FMusic = false;
        } else {
          FNote += Ch;
        }
        continue;
      }
      FEsc += Ch;
      if (FEsc == "\x1b" || FEsc == "\x1b[") continue;
      if (FEsc == "\x1b[N") {
        FMusic = true;
      } else {
        Show += FEsc;
      }
      FEsc.clear();
    }
    VtFeed(Vt, Show);
  }

  void Shot(int AFrame) {
    TFrameShot S;
    S.Row2 = RowBytes(Vt, 2);
    S.Row3 = RowBytes(Vt, 3);
    S.Row12 = RowBytes(Vt, 12);
    for (int X = 1; X <= 80; ++X) S.Row12Attr.push_back(VtAttr(Vt, X, 12));
    S.Row2Attr7 = VtAttr(Vt, 7, 2);
    S.Row3Attr7 = VtAttr(Vt, 7, 3);
    Shots[AFrame] = std::move(S);
  }

  std::string Row(int AY) const { return RowBytes(Vt, AY); }

 private:
  std::string FPending;
  std::string FEsc;
  std::string FNote;
  bool FMusic = false;
  int FIac = 0;
};

// A door process with the board's side of its connection.
struct TDoorRun {
  TNetPair Pair;  // Door: the board's descriptor, inherited by the door; Peer: the caller
  pid_t Pid = -1;
  int Status = -1;
  rusage Usage{};
  TCaller Caller;

  ~TDoorRun() {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
  }

  // Starts the door as a board does: -N1 -S<fd>, the descriptor inherited (no CLOEXEC),
  // in AFolder, where it looks for its picture.
  bool Start(const std::string &AFolder) {
    if (!NetTcpPair(Pair)) return false;
    Pid = fork();
    if (Pid < 0) return false;
    if (Pid == 0) {
      fcntl(Pair.Door, F_SETFD, 0);
      int Null = open("/dev/null", O_RDWR);
      dup2(Null, 0);
      dup2(Null, 1);
      dup2(Null, 2);
      if (chdir(AFolder.c_str()) != 0) _exit(126);
      std::string Socket = "-S" + std::to_string(Pair.Door);
      execl(VANTORAMA_BIN, "vantorama", "-N1", Socket.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    return true;
  }

  // Reads what the door sends until APred holds or ATimeoutMs pass; true if it held.
  bool PumpUntil(const std::function<bool()> &APred, int ATimeoutMs) {
    const auto Deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
    char Buf[65536];
    while (!APred()) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
      if (Left <= 0) return false;
      pollfd P{Pair.Peer, POLLIN, 0};
      if (poll(&P, 1, static_cast<int>(std::min<long long>(Left, 50))) <= 0) continue;
      ssize_t N = recv(Pair.Peer, Buf, sizeof(Buf), MSG_DONTWAIT);
      if (N == 0) {
        Caller.Closed = true;
        Caller.Process(true);
        return APred();
      }
      if (N > 0) Caller.Receive(std::string_view(Buf, static_cast<size_t>(N)));
    }
    return true;
  }

  bool ScreenShows(int AY, int AX, const std::string &AText) {
    return PumpUntil([&] { return Caller.Row(AY).compare(static_cast<size_t>(AX - 1), AText.size(), AText) == 0; },
                     15000);
  }

  bool Type(std::string_view AKeys) { return NetSend(Pair.Peer, AKeys); }

  // Waits for the door to end, reading on meanwhile so that it never blocks on a send.
  bool Wait(int ATimeoutMs) {
    const auto Deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (TClock::now() < Deadline) {
      pid_t R = wait4(Pid, &Status, WNOHANG, &Usage);
      if (R == Pid) {
        Pid = -1;
        PumpUntil([] { return false; }, 100);
        Caller.Process(true);
        return true;
      }
      PumpUntil([] { return false; }, 20);
    }
    return false;
  }
};

}  // namespace e2e
