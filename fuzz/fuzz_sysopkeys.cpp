// The sysop's keyboard into the door's key routines: bytes as a terminal sends them (UTF-8
// or 8-bit, key sequences, lone zeros), arriving in pieces while the door sleeps, read with
// DoorReadKey or the line editor in a stdio session (the keyboard is the caller's) or beside
// a caller on a link. Every key is a whole key: never a bare 0, an extended key never 0,
// and no read waits for bytes that never come.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ansi_internal.h"
#include "comm_internal.h"
#include "console_internal.h"
#include "crt2_internal.h"
#include "doorkit/comm.h"
#include "doorkit/console.h"
#include "doorkit/door.h"
#include "door_internal.h"

namespace {

struct TDone {};

struct State {
  uint64_t Ms = 0;
  std::vector<std::string> Pieces;  // still to come, one per sleep of the door
  size_t Next = 0;
  int Idle = 0;  // sleeps since the last piece
  bool Ended = false;  // the session ended (the sysop hung up, took the time away)
};
State g;

void Require(bool ACondition) {
  if (!ACondition) std::abort();
}

TDateTime FakeNow() { return 45000.0 + static_cast<double>(g.Ms) / 86400000.0; }
uint64_t FakeMs() { return g.Ms; }

// The door sleeps: the sysop's next piece comes. Once all have come, a door that still
// waits is waiting for nothing: the lone-ESC time-out has long passed.
void FakeSleep(uint32_t AMs) {
  g.Ms += AMs + 10;
  if (g.Next < g.Pieces.size()) {
    ConsolePushInput(g.Pieces[g.Next++]);
    g.Idle = 0;
  } else if (++g.Idle > 200) {
    throw TDone{};
  }
}

// The sysop's own keys may end the session: the end is the fuzz run's end.
void SessionEnds() {
  g.Ended = true;
  throw TDone{};
}

void CheckKey(char AKey, bool ALink) {
  Require(DoorLastKey.Ch == AKey);
  Require(DoorLastKey.Location == (ALink ? lkSysop : lkUser));
  Require(AKey != 0);  // a 0 is half of an extended key, never a key
}

}  // namespace

// Input: a mode byte, then pieces of the sysop's typing, each a length byte and its bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *AData, size_t ASize) {
  if (ASize < 1) return 0;
  DoorReset();
  CommReset();
  ConsoleReset();
  AnsiReset();
  Crt2Reset();
  g = State{};
  ConsoleSetClock(FakeMs);
  ConsoleSetSleep(FakeSleep);
  DoorSetClock(FakeNow);
  ConsoleSetTestKeyboardUtf8(AData[0] & 1);
  const bool Link = AData[0] & 2;
  const bool Editor = AData[0] & 4;
  for (size_t I = 1; I < ASize;) {
    const size_t Len = std::min<size_t>(AData[I], ASize - I - 1);
    g.Pieces.emplace_back(reinterpret_cast<const char *>(AData + I + 1), Len);
    I += Len + 1;
  }

  int Fds[2] = {-1, -1};
  char Name[] = "door";
  DoorOnHangup = SessionEnds;
  DoorOnTimeOut = SessionEnds;
  DoorOnTimeUp = SessionEnds;
  if (Link) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, Fds) != 0) std::abort();
    std::string Socket = "-S" + std::to_string(Fds[0]);
    char Node[] = "-N1";
    char *Argv[] = {Name, Node, Socket.data(), nullptr};
    DoorStartup(3, Argv);
    CommSetSendTimeout(0);
    DoorSession.DoIdleCheck = false;
    DoorDropInfo.MaxSeconds = INT32_MAX;
  } else {
    DoorOnLocalLogin = nullptr;
    char *Argv[] = {Name, nullptr};
    DoorStartup(1, Argv);
  }
  try {
    for (int Keys = 0; Keys < 100000; ++Keys) {
      if (Editor) {
        const std::string Text = DoorInput("", DOOR_INPUT_CHARS_ALL, 0, 20, 40, 0x1F);
        Require(Text.size() <= 40);
        for (char C : Text) Require(C >= 0x20 && C < 0x7F);
      } else {
        CheckKey(DoorReadKey(), Link);
      }
      if (Link) {
        char Buf[65536];
        while (recv(Fds[1], Buf, sizeof Buf, MSG_DONTWAIT) > 0) {
        }
      }
    }
  } catch (const TDone &) {
  }
  Require(g.Ended || g.Next == g.Pieces.size());  // every piece was taken: no read held the door

  if (Link) {
    DoorClose(false);
    close(Fds[1]);
  }
  DoorReset();
  CommReset();
  ConsoleReset();
  return 0;
}
