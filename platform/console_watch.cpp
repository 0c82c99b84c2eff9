// The console's watchers: the node's socket, the watchers on it, the screen's changes sent
// to them and their keys. A watcher that stops reading is dropped once a bounded backlog is
// full, one that sends what the wire does not carry at once; neither holds the door up.
#include "console_watch.h"

#include "console_parts.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// What a watcher may owe the door before it is dropped: a few whole screens.
constexpr size_t OUT_LIMIT = 32 * 1024;
constexpr size_t IN_PER_LOOK = 4096;  // a flood is read a little at a time
constexpr size_t KEY_QUEUE = 256;
constexpr uint64_t LOOK_EVERY_MS = 100;

struct TWatcher {
  int Fd = -1;
  bool Attached = false;
  TWatchReader In;
  std::string Out;
};

struct State {
  int Listen = -1;
  std::string Path;
  dev_t Dev = 0;
  ino_t Ino = 0;
  void (*Info)(TWatchHello &) = nullptr;
  std::vector<TWatcher> Watchers;
  TConsoleCell Sent[CONSOLE_ROWS][CONSOLE_COLS] = {};  // what the attached watchers have
  int SentX = 0, SentY = 0;
  bool SentVisible = false;
  uint64_t NextLook = 0;
  uint8_t Keys[KEY_QUEUE] = {};  // pairs: the key, then 1 when extended
  size_t KeyHead = 0, KeyCount = 0;
  std::string Frame;  // reused for each frame's message
  bool CloseHooked = false;
};

State g;

uint64_t NowMs() {
  timespec T{};
  clock_gettime(CLOCK_MONOTONIC, &T);
  return static_cast<uint64_t>(T.tv_sec) * 1000u + static_cast<uint64_t>(T.tv_nsec) / 1000000u;
}

bool Active() { return g.Listen >= 0 || !g.Watchers.empty(); }

// Sends what the watcher can take now; false when it is gone.
bool SendSome(TWatcher &AWatcher) {
  size_t Done = 0;
  while (Done < AWatcher.Out.size()) {
    const ssize_t N = send(AWatcher.Fd, AWatcher.Out.data() + Done, AWatcher.Out.size() - Done,
                           MSG_DONTWAIT | MSG_NOSIGNAL);
    if (N > 0) {
      Done += static_cast<size_t>(N);
    } else if (N < 0 && errno == EINTR) {
      continue;
    } else if (N < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      return false;
    }
  }
  AWatcher.Out.erase(0, Done);
  return true;
}

// Queues AData for the watcher and sends what it takes; false when it must be dropped.
bool Queue(TWatcher &AWatcher, std::string_view AData) {
  if (AWatcher.Out.size() + AData.size() > OUT_LIMIT) return false;
  AWatcher.Out += AData;
  return SendSome(AWatcher);
}

void Drop(size_t AIndex) {
  close(g.Watchers[AIndex].Fd);
  g.Watchers.erase(g.Watchers.begin() + static_cast<std::ptrdiff_t>(AIndex));
}

void PushKey(uint8_t AKey, bool AExtended) {
  if (g.KeyCount + 2 > KEY_QUEUE) return;  // the sysop types faster than the door reads
  g.Keys[(g.KeyHead + g.KeyCount++) % KEY_QUEUE] = AKey;
  g.Keys[(g.KeyHead + g.KeyCount++) % KEY_QUEUE] = AExtended ? 1 : 0;
}

// Keys as the console queues them: 0 then a scan code is one extended key; a 0 at the end
// of the message has lost its scan code and goes.
void TakeKeys(std::string_view AKeys) {
  for (size_t I = 0; I < AKeys.size(); ++I) {
    const uint8_t K = static_cast<uint8_t>(AKeys[I]);
    if (K != 0) {
      PushKey(K, false);
    } else if (I + 1 < AKeys.size()) {
      PushKey(static_cast<uint8_t>(AKeys[++I]), true);
    }
  }
}

// The whole screen for a watcher that attaches. Called after the frame went to the others,
// so what they have is the frame too: the changes that follow suit every watcher.
std::string Snapshot(const TConsoleFrame &AFrame) {
  std::memcpy(g.Sent, AFrame.Cells, sizeof g.Sent);
  g.SentX = AFrame.CursorX;
  g.SentY = AFrame.CursorY;
  g.SentVisible = AFrame.CursorVisible;
  std::string S;
  for (int Y = 0; Y < CONSOLE_ROWS; ++Y) WatchPutRow(S, Y + 1, AFrame.Cells[Y]);
  WatchPutCursor(S, AFrame.CursorX, AFrame.CursorY, AFrame.CursorVisible);
  return S;
}

// Reads what the watcher sent; false when it is gone or broke the wire.
bool ReadWatcher(TWatcher &AWatcher, const TConsoleFrame &AFrame) {
  char Buf[512];
  size_t Got = 0;
  while (Got < IN_PER_LOOK) {
    const ssize_t N = recv(AWatcher.Fd, Buf, sizeof Buf, MSG_DONTWAIT);
    if (N == 0) return false;
    if (N < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    Got += static_cast<size_t>(N);
    WatchFeed(AWatcher.In, std::string_view(Buf, static_cast<size_t>(N)));
    uint8_t Type;
    std::string_view Payload;
    int R;
    while ((R = WatchTake(AWatcher.In, Type, Payload)) == 1) {
      if (Type == WATCH_ATTACH && !AWatcher.Attached) {
        AWatcher.Attached = true;
        if (!Queue(AWatcher, Snapshot(AFrame))) return false;
      } else if (Type == WATCH_KEYS && AWatcher.Attached) {
        TakeKeys(Payload);
      } else if (Type != WATCH_ATTACH) {
        return false;  // nothing else comes from a watcher
      }
    }
    if (R < 0) return false;
  }
  return true;
}

// The door's own user and root may watch; anyone else is told so and let go.
bool Allowed(int AFd) {
  ucred Cred{};
  socklen_t Len = sizeof Cred;
  if (getsockopt(AFd, SOL_SOCKET, SO_PEERCRED, &Cred, &Len) != 0) return false;
  return Cred.uid == 0 || Cred.uid == geteuid();
}

void Greet(int AFd) {
  // The kernel's share of a watcher's backlog stays small too.
  const int SendBuffer = 16 * 1024;
  setsockopt(AFd, SOL_SOCKET, SO_SNDBUF, &SendBuffer, sizeof SendBuffer);
  TWatcher W;
  W.Fd = AFd;
  TWatchHello Hello;
  if (g.Info) g.Info(Hello);
  std::string Bytes;
  WatchPutHello(Bytes, Hello);
  if (!Queue(W, Bytes)) {
    close(AFd);
    return;
  }
  g.Watchers.push_back(std::move(W));
}

void AcceptNew() {
  for (;;) {
    const int Fd = accept4(g.Listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (Fd < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (!Allowed(Fd)) {
      std::string No;
      WatchPut(No, WATCH_REFUSED, "");
      send(Fd, No.data(), No.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      close(Fd);
    } else if (g.Watchers.size() >= static_cast<size_t>(WATCH_POLL_FDS - 1)) {
      close(Fd);
    } else {
      Greet(Fd);
    }
  }
}

// The rows that changed since the attached watchers last got them, and the cursor, which
// ends a frame.
void Broadcast(const TConsoleFrame &AFrame) {
  bool Any = false;
  for (const TWatcher &W : g.Watchers) Any = Any || W.Attached;
  if (!Any) return;
  std::string &Msg = g.Frame;
  Msg.clear();
  for (int Y = 0; Y < CONSOLE_ROWS; ++Y) {
    if (!(AFrame.DirtyRows & (1u << Y)) || std::memcmp(g.Sent[Y], AFrame.Cells[Y], sizeof g.Sent[Y]) == 0)
      continue;
    std::memcpy(g.Sent[Y], AFrame.Cells[Y], sizeof g.Sent[Y]);
    WatchPutRow(Msg, Y + 1, AFrame.Cells[Y]);
  }
  if (Msg.empty() && AFrame.CursorX == g.SentX && AFrame.CursorY == g.SentY && AFrame.CursorVisible == g.SentVisible)
    return;
  g.SentX = AFrame.CursorX;
  g.SentY = AFrame.CursorY;
  g.SentVisible = AFrame.CursorVisible;
  WatchPutCursor(Msg, AFrame.CursorX, AFrame.CursorY, AFrame.CursorVisible);
  for (size_t I = g.Watchers.size(); I-- > 0;) {
    TWatcher &W = g.Watchers[I];
    if (W.Attached && !Queue(W, Msg)) Drop(I);
  }
}

void Look(const TConsoleFrame &AFrame) {
  if (g.Listen >= 0) AcceptNew();
  for (size_t I = g.Watchers.size(); I-- > 0;)
    if (!ReadWatcher(g.Watchers[I], AFrame)) Drop(I);
}

// The folder must be this user's alone: made if missing, its mode set, refused if it is
// someone else's or not a folder (a link planted under /tmp, say).
bool SafeFolder(const std::string &APath) {
  if (mkdir(APath.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat St{};
  if (lstat(APath.c_str(), &St) != 0 || !S_ISDIR(St.st_mode) || St.st_uid != geteuid()) return false;
  return (St.st_mode & 077) == 0 || chmod(APath.c_str(), 0700) == 0;
}

// Binds the socket; a socket nobody answers on is a killed door's, and goes.
int BindNode(const std::string &APath) {
  sockaddr_un A{};
  A.sun_family = AF_UNIX;
  if (APath.size() >= sizeof A.sun_path) return -1;
  std::memcpy(A.sun_path, APath.c_str(), APath.size() + 1);
  const int Fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (Fd < 0) return -1;
  const mode_t OldMask = umask(0177);
  int R = bind(Fd, reinterpret_cast<sockaddr *>(&A), sizeof A);
  if (R != 0 && errno == EADDRINUSE) {
    struct stat St{};
    // Not waiting: a live door that has not taken its earlier callers yet is still live.
    const int Probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool Live = Probe >= 0 && connect(Probe, reinterpret_cast<sockaddr *>(&A), sizeof A) == 0;
    const bool Refused = !Live && errno == ECONNREFUSED;
    if (Probe >= 0) close(Probe);
    if (Refused && lstat(APath.c_str(), &St) == 0 && S_ISSOCK(St.st_mode) && unlink(APath.c_str()) == 0)
      R = bind(Fd, reinterpret_cast<sockaddr *>(&A), sizeof A);
  }
  umask(OldMask);
  if (R != 0 || chmod(APath.c_str(), 0600) != 0 || listen(Fd, 8) != 0) {
    if (R == 0) unlink(APath.c_str());
    close(Fd);
    return -1;
  }
  return Fd;
}

}  // namespace

bool ConsoleWatchOpen(int32_t ANode, void (*AInfo)(TWatchHello &AHello)) {
  ConsoleWatchClose();
  const std::string Folder = WatchFolder(geteuid());
  if (!SafeFolder(Folder)) return false;
  const std::string Path = Folder + "/" + WatchSocketName(ANode);
  const int Fd = BindNode(Path);
  if (Fd < 0) return false;
  struct stat St{};
  if (stat(Path.c_str(), &St) != 0) {
    close(Fd);
    return false;
  }
  g.Listen = Fd;
  g.Path = Path;
  g.Dev = St.st_dev;
  g.Ino = St.st_ino;
  g.Info = AInfo;
  g.NextLook = 0;
  if (!g.CloseHooked) {
    g.CloseHooked = true;
    std::atexit(ConsoleWatchClose);
  }
  return true;
}

void ConsoleWatchClose() {
  if (!Active()) return;
  Broadcast(ConsoleFrame());  // the last frame (a farewell, say) still reaches them
  for (TWatcher &W : g.Watchers) close(W.Fd);
  g.Watchers.clear();
  if (g.Listen >= 0) {
    close(g.Listen);
    // Only our own socket goes: a door that took the node over since keeps its one.
    struct stat St{};
    if (stat(g.Path.c_str(), &St) == 0 && St.st_dev == g.Dev && St.st_ino == g.Ino) unlink(g.Path.c_str());
  }
  g.Listen = -1;
  g.Path.clear();
  g.KeyCount = 0;
}

const std::string &ConsoleWatchPath() { return g.Path; }

bool ConsoleWatchKey(char &AKey, bool &AExtended) {
  if (g.KeyCount == 0) return false;
  AKey = static_cast<char>(g.Keys[g.KeyHead]);
  AExtended = g.Keys[(g.KeyHead + 1) % KEY_QUEUE] != 0;
  g.KeyHead = (g.KeyHead + 2) % KEY_QUEUE;
  g.KeyCount -= 2;
  return true;
}

int ConsoleWatchCount() {
  int N = 0;
  for (const TWatcher &W : g.Watchers) N += W.Attached;
  return N;
}

void WatchFlush(const TConsoleFrame &AFrame, bool ALookNow) {
  if (!Active()) return;
  Broadcast(AFrame);
  const uint64_t Now = NowMs();
  if (ALookNow || Now >= g.NextLook) {
    g.NextLook = Now + LOOK_EVERY_MS;
    Look(AFrame);
  }
}

int WatchPollFds(pollfd *AFds, int AMax) {
  if (!Active()) return 0;
  int N = 0;
  if (g.Listen >= 0 && N < AMax) AFds[N++] = {g.Listen, POLLIN, 0};
  for (const TWatcher &W : g.Watchers)
    if (N < AMax) AFds[N++] = {W.Fd, POLLIN, 0};
  return N;
}

void ConsoleWatchAdopt(int AFd) {
  fcntl(AFd, F_SETFL, fcntl(AFd, F_GETFL) | O_NONBLOCK);
  Greet(AFd);
}
