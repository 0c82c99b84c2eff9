// A hostile watcher on the door's watch socket: whatever it sends, in pieces, between the
// door's frames, the door neither crashes nor keeps more than it bounds, reads only keys from
// it, and lets it go when it hangs up. The same bytes, read as a door's stream by a watcher,
// give only rows and cursors that lie on the screen.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "console_internal.h"
#include "console_parts.h"
#include "console_watch.h"
#include "doorkit/console.h"
#include "doorkit/door.h"
#include "door_internal.h"
#include "watch_wire.h"

namespace {

void Require(bool ACondition) {
  if (!ACondition) std::abort();
}

void NoLogin() {}
// Every extended key is the door's own here, so none of the kit's (a hang-up ends the
// program, a chat waits for the sysop) stops the run.
bool TakeEveryKey(char) { return true; }

void Drain(int AFd) {
  char Buf[65536];
  while (recv(AFd, Buf, sizeof Buf, MSG_DONTWAIT) > 0) {
  }
}

void AsWatcherSees(const uint8_t *AData, size_t ASize) {
  TWatchReader Reader;
  WatchFeed(Reader, std::string_view(reinterpret_cast<const char *>(AData), ASize));
  uint8_t Type;
  std::string_view Payload;
  while (WatchTake(Reader, Type, Payload) == 1) {
    TConsoleCell Cells[CONSOLE_COLS];
    TWatchHello Hello;
    int X = 0, Y = 0;
    bool Shown;
    if (Type == WATCH_ROW && WatchGetRow(Payload, Y, Cells)) Require(Y >= 1 && Y <= CONSOLE_ROWS);
    if (Type == WATCH_CURSOR && WatchGetCursor(Payload, X, Y, Shown))
      Require(X >= 1 && X <= CONSOLE_COLS && Y >= 1 && Y <= CONSOLE_ROWS);
    if (Type == WATCH_HELLO && WatchGetHello(Payload, Hello))
      Require(Hello.Caller.size() <= WATCH_NAME_MAX && Hello.Door.size() <= WATCH_NAME_MAX);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *AData, size_t ASize) {
  static bool Started = false;
  if (!Started) {
    Started = true;
    ConsoleReset();
    DoorReset();
    DoorOnLocalLogin = NoLogin;
    char Name[] = "fuzzdoor";
    char *Argv[] = {Name, nullptr};
    DoorStartup(1, Argv);
    DoorOnSysopKey = TakeEveryKey;
  }
  AsWatcherSees(AData, ASize);

  int Fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, Fds) != 0) return 0;
  ConsoleWatchAdopt(Fds[0]);
  // The first byte sets the size of the pieces, so that messages are cut anywhere.
  const size_t Piece = ASize > 0 ? 1 + AData[0] % 64 : 1;
  for (size_t At = ASize > 0 ? 1 : 0; At < ASize; At += Piece) {
    const size_t Len = ASize - At < Piece ? ASize - At : Piece;
    send(Fds[1], AData + At, Len, MSG_NOSIGNAL | MSG_DONTWAIT);
    DoorWrite(At % 2 ? "\x1b[2;7fframe" : "\x1b[3;7fframe");
    WatchFlush(ConsoleFrame(), true);
    for (int Keys = 0; Keys < 300 && DoorKeyPressed(); ++Keys) DoorReadKey();
    Drain(Fds[1]);
  }
  shutdown(Fds[1], SHUT_WR);
  WatchFlush(ConsoleFrame(), true);
  Require(ConsoleWatchCount() == 0);  // hung up: let go
  ConsoleWatchClose();
  while (DoorKeyPressed()) DoorReadKey();
  close(Fds[1]);
  return 0;
}
