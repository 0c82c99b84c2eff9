// The far side of a door run, for end-to-end tests of the built door: the test kit as the
// board (it accepts a caller on loopback, starts the door with the socket inherited, and
// reads the caller's screen), and beside it the caller's telnet client, which answers
// nothing, plays ANSI music (it takes the note sequences off the stream) and shows the rest
// on an independent terminal emulator.
//
// The caller also counts the show's frames from the wire: every frame starts by blanking
// the scroller's two rows from column 7, then draws its line there, so three cursor moves
// to column 7 of rows 2 or 3 make one frame. Before the first byte of each frame the
// screen is exactly what the previous frame left; the caller keeps rows of it then.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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
  void Receive(std::string_view ABytes) { Take(DoorTestTelnetData(FIac, ABytes)); }

  // What the caller got once telnet is off.
  void Take(std::string_view AData) {
    FPending += AData;
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

// A door run by the test kit as a board runs it, the caller above fed what the kit's caller
// gets: the kit's screen for waiting on text, the caller's for frames and music.
struct TDoorRun {
  TDoorTestRun Kit;
  TCaller Caller;
  int Status = -1;  // waitpid's status once ended

  // Starts the door as a board does: -N1 -S<fd> over loopback TCP, the descriptor
  // inherited, in AFolder, where it looks for its picture; ASwitch (-E, say) after them.
  bool Start(const std::string &AFolder, const char *ASwitch = nullptr) {
    TDoorTestOptions Options;
    Options.Program = VANTORAMA_BIN;
    Options.Way = twCommandLine;
    Options.Tcp = true;
    Options.Caller.Node = 1;
    Options.Folder = AFolder;
    if (ASwitch) Options.Args.push_back(ASwitch);
    return DoorTestStart(Kit, Options);
  }

  // Hands the caller what the kit has read since last time.
  void Sync() {
    if (Kit.Received.size() > FTaken) {
      Caller.Take(std::string_view(Kit.Received).substr(FTaken));
      FTaken = Kit.Received.size();
    }
    if (Kit.CallerClosed && !Caller.Closed) {
      Caller.Closed = true;
      Caller.Process(true);
    }
  }

  // Reads what the door sends until APred holds or ATimeoutMs pass; true if it held.
  bool PumpUntil(const std::function<bool()> &APred, int ATimeoutMs) {
    return DoorTestUntil(Kit, [&] {
      Sync();
      return APred();
    }, ATimeoutMs);
  }

  bool ScreenShows(int AY, int AX, const std::string &AText) {
    const bool Shown = DoorTestShows(Kit, AY, AX, AText);
    Sync();
    return Shown;
  }

  bool Type(std::string_view AKeys) { return DoorTestType(Kit, AKeys); }

  // Waits for the door to end, reading on meanwhile so that it never blocks on a send.
  bool Wait(int ATimeoutMs) {
    if (!DoorTestWait(Kit, ATimeoutMs)) return false;
    Sync();
    Caller.Process(true);
    Status = Kit.Status;
    return true;
  }

 private:
  size_t FTaken = 0;
};

}  // namespace e2e
