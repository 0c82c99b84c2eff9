// The caller's byte stream into the door's key routines: a link session on a socketpair, the
// caller's bytes arriving in pieces while the door sleeps (telnet commands, broken ESC
// sequences, floods), read with DoorReadKey or the line editor until the caller hangs up.
// Every key is a real key, the editor's text keeps to its limits, the door holds at most one
// receive, and the caller's bytes never land outside the text window or on the status bar.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ansi_internal.h"
#include "doorkit/comm.h"
#include "comm_internal.h"
#include "doorkit/console.h"
#include "console_internal.h"
#include "crt2_internal.h"
#include "doorkit/door.h"
#include "door_internal.h"

namespace {

struct TDone {};

struct State {
  uint64_t Ms = 0;
  int Peer = -1;
  std::vector<std::string> Pieces;  // still to come, one per sleep of the door
  size_t Next = 0;
};
State g;

void Require(bool ACondition) {
  if (!ACondition) std::abort();
}

TDateTime FakeNow() { return 45000.0 + static_cast<double>(g.Ms) / 86400000.0; }
uint64_t FakeMs() { return g.Ms; }

void Drain() {
  char Buf[65536];
  while (recv(g.Peer, Buf, sizeof Buf, MSG_DONTWAIT) > 0) {
  }
}

// The door sleeps: the caller's next piece comes; after the last one the caller hangs up.
void FakeSleep(uint32_t AMs) {
  g.Ms += AMs;
  if (g.Next > g.Pieces.size()) g.Ms += 100;  // hung up: on to the pump's next second
  Drain();
  if (g.Next < g.Pieces.size()) {
    const std::string &P = g.Pieces[g.Next++];
    send(g.Peer, P.data(), P.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } else if (g.Peer >= 0 && g.Next == g.Pieces.size()) {
    g.Next++;
    shutdown(g.Peer, SHUT_WR);
  }
}

// The PC keys a caller's terminal can send: cursor keys, Home, End, PgUp, PgDn, Insert,
// Delete, F1 to F12.
bool IsCallerScan(char AKey) {
  const uint8_t K = static_cast<uint8_t>(AKey);
  return K == 'H' || K == 'P' || K == 'M' || K == 'K' || K == 0x47 || K == 0x4F || K == 0x49 ||
         K == 0x51 || K == 0x52 || K == 0x53 || (K >= 0x3B && K <= 0x44) || K == 0x85 || K == 0x86;
}

void CheckScreen() {
  Require(CommBuffered() <= 1024);
  Require(ConsoleCursorX() >= 1 && ConsoleCursorX() <= 80);
  Require(ConsoleCursorY() >= 1 && ConsoleCursorY() <= 24);
  for (int X = 1; X <= 80; ++X) {
    const uint8_t A = ConsoleCell(X, 25).Attr;
    Require(A == 0x1E || A == 0x1F);  // the status bar's own colours only
  }
}

}  // namespace

// Input: a mode byte (bit 3: a UTF-8 caller), four bytes of editor settings, then pieces of the caller's stream,
// each a length byte (times 4) and its bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *AData, size_t ASize) {
  if (ASize < 5) return 0;
  DoorReset();
  CommReset();
  ConsoleReset();
  AnsiReset();
  Crt2Reset();
  g = State{};
  ConsoleSetClock(FakeMs);
  ConsoleSetSleep(FakeSleep);
  DoorSetClock(FakeNow);

  int Fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, Fds) != 0) std::abort();
  g.Peer = Fds[1];
  for (size_t I = 5; I < ASize;) {
    const size_t Len = std::min<size_t>(size_t{AData[I]} * 4, ASize - I - 1);
    g.Pieces.emplace_back(reinterpret_cast<const char *>(AData + I + 1), Len);
    I += Len + 1;
  }

  std::string Socket = "-S" + std::to_string(Fds[0]);
  char Name[] = "door", Node[] = "-N1", Utf8[] = "-U";
  char *Argv[] = {Name, Node, Socket.data(), Utf8, nullptr};
  DoorStartup((AData[0] & 8) ? 4 : 3, Argv);  // a UTF-8 caller, too
  CommSetSendTimeout(0);  // the fuzzer reads the door's output only now and then
  DoorOnHangup = [] { throw TDone{}; };
  DoorOnTimeOut = [] { throw TDone{}; };
  DoorOnTimeUp = [] { throw TDone{}; };
  FakeSleep(0);  // the first piece

  const bool Editor = AData[0] & 1;
  const std::string Allowed = (AData[0] & 2) ? DOOR_INPUT_CHARS_ALL : DOOR_INPUT_CHARS_ALPHA;
  const char Password = (AData[0] & 4) ? '*' : 0;
  const uint8_t Visible = static_cast<uint8_t>(AData[1] % 80);
  const uint8_t Max = AData[2];
  const uint8_t Attr = AData[3];
  const std::string Default(AData[4] % 100, 'D');
  try {
    for (int Keys = 0; Keys < 100000; ++Keys) {
      if (Editor) {
        DoorGotoXY(static_cast<uint8_t>(1 + AData[4] % 80), static_cast<uint8_t>(1 + AData[1] % 24));
        const std::string Text = DoorInput(Default, Allowed, Password, Visible, Max, Attr);
        Require(Text.size() <= Max);
        if (Text != Default.substr(0, Max))
          for (char C : Text) Require(Allowed.find(C) != std::string::npos);
      } else {
        const char Key = DoorReadKey();
        Require(DoorLastKey.Location != lkNone && DoorLastKey.Ch == Key);
        if (DoorLastKey.Extended) Require(DoorLastKey.Location == lkUser && IsCallerScan(Key));
      }
      CheckScreen();
    }
  } catch (const TDone &) {
  }
  CheckScreen();
  Require(!DoorCarrier());

  DoorClose(false);
  close(Fds[1]);
  DoorReset();
  CommReset();
  ConsoleReset();
  return 0;
}
