// doorwatch: the sysop's view of any node, from any terminal. Without arguments it lists the
// running nodes; with a node (or a socket's path) it shows that node's screen and status bar
// live, drawn by the kit's own console, and the keys typed here are the node's sysop keys.
// Ctrl+] leaves; the door goes on.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "doorkit/console.h"
#include "doorkit/stringutils.h"
#include "watch_wire.h"

namespace {

constexpr char KEY_DETACH = 0x1D;  // Ctrl+]
constexpr int HELLO_WAIT_MS = 2000;

struct TNode {
  std::string Path;
  TWatchHello Hello;
};

std::string gFarewell;  // printed once the terminal is the sysop's own again

void PrintFarewell() {
  if (!gFarewell.empty()) std::fprintf(stderr, "%s\n", gFarewell.c_str());
}

// Connects to a node's socket; -1 with errno set when nobody answers there.
int Connect(const std::string &APath) {
  sockaddr_un A{};
  A.sun_family = AF_UNIX;
  if (APath.size() >= sizeof A.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(A.sun_path, APath.c_str(), APath.size() + 1);
  // Not waiting on a door too busy to take its callers: that one does not answer.
  const int Fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (Fd < 0) return -1;
  if (connect(Fd, reinterpret_cast<sockaddr *>(&A), sizeof A) != 0) {
    const int Saved = errno;
    close(Fd);
    errno = Saved;
    return -1;
  }
  fcntl(Fd, F_SETFL, fcntl(Fd, F_GETFL) & ~O_NONBLOCK);
  return Fd;
}

bool SendAll(int AFd, const std::string &AData) {
  size_t Done = 0;
  while (Done < AData.size()) {
    const ssize_t N = send(AFd, AData.data() + Done, AData.size() - Done, MSG_NOSIGNAL);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Done += static_cast<size_t>(N);
  }
  return true;
}

// The door's first word: its hello, or its refusal (AType tells which). False when the
// door says nothing sensible in time.
bool ReadGreeting(int AFd, TWatchReader &AReader, uint8_t &AType, TWatchHello &AHello) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(HELLO_WAIT_MS);
  std::string_view Payload;
  for (;;) {
    const int R = WatchTake(AReader, AType, Payload);
    if (R < 0) return false;
    if (R == 1) return AType == WATCH_REFUSED || (AType == WATCH_HELLO && WatchGetHello(Payload, AHello));
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0) return false;
    pollfd P{AFd, POLLIN, 0};
    if (poll(&P, 1, static_cast<int>(Left.count())) <= 0) continue;
    char Buf[1024];
    const ssize_t N = recv(AFd, Buf, sizeof Buf, 0);
    if (N <= 0) return false;
    WatchFeed(AReader, std::string_view(Buf, static_cast<size_t>(N)));
  }
}

std::vector<TNode> RunningNodes() {
  std::vector<TNode> Nodes;
  for (const std::string &Folder : WatchFolders(geteuid())) {
    DIR *D = opendir(Folder.c_str());
    if (!D) continue;
    while (dirent *E = readdir(D)) {
      const std::string Name = E->d_name;
      if (!Name.starts_with("node") || !Name.ends_with(".sock")) continue;
      TNode Node{Folder + "/" + Name, {}};
      const int Fd = Connect(Node.Path);
      if (Fd < 0) continue;  // a killed door's socket, or one this user may not open
      TWatchReader Reader;
      uint8_t Type = 0;
      if (ReadGreeting(Fd, Reader, Type, Node.Hello) && Type == WATCH_HELLO) Nodes.push_back(Node);
      close(Fd);
    }
    closedir(D);
  }
  std::sort(Nodes.begin(), Nodes.end(), [](const TNode &A, const TNode &B) { return A.Hello.Node < B.Hello.Node; });
  return Nodes;
}

int List() {
  const std::vector<TNode> Nodes = RunningNodes();
  if (Nodes.empty()) {
    std::printf("No door is running that this user may watch.\n");
    return 0;
  }
  std::printf("%-5s %-24s %-20s %-10s %s\n", "node", "caller", "door", "left", "idle");
  for (const TNode &N : Nodes) {
    const TWatchHello &H = N.Hello;
    const std::string Left = H.Limits ? SecToHMS(H.SecondsLeft) : "-";
    std::printf("%-5d %-24s %-20s %-10s %s\n", H.Node, H.Caller.c_str(), H.Door.c_str(), Left.c_str(),
                SecToMS(H.SecondsIdle).c_str());
  }
  std::printf("\nWatch one with: doorwatch <node>   (Ctrl+] leaves it, the door goes on)\n");
  return 0;
}

// The node's socket: a path as given, or the live one of that node in this user's folders.
std::string FindNode(const std::string &AArg) {
  if (AArg.find('/') != std::string::npos) return AArg;
  const int32_t Node = StrToIntDef(AArg, -1);
  if (Node < 0) return {};
  std::string First;
  for (const std::string &Folder : WatchFolders(geteuid())) {
    const std::string Path = Folder + "/" + WatchSocketName(Node);
    if (access(Path.c_str(), F_OK) != 0) continue;
    if (First.empty()) First = Path;
    const int Fd = Connect(Path);
    if (Fd >= 0) {
      close(Fd);
      return Path;
    }
  }
  return First;
}

// Puts a row of cells on the console: a run of one attribute at a time.
void ShowRow(int AY, const TConsoleCell *ACells) {
  for (int X = 0; X < CONSOLE_COLS;) {
    int End = X;
    std::string Run;
    while (End < CONSOLE_COLS && ACells[End].Attr == ACells[X].Attr) Run += static_cast<char>(ACells[End++].Ch);
    ConsoleWriteCells(static_cast<uint8_t>(X + 1), static_cast<uint8_t>(AY), Run, ACells[X].Attr);
    X = End;
  }
}

// The door's messages so far; false when the wire broke.
bool ShowMessages(TWatchReader &AReader) {
  uint8_t Type;
  std::string_view Payload;
  int R;
  while ((R = WatchTake(AReader, Type, Payload)) == 1) {
    TConsoleCell Cells[CONSOLE_COLS];
    int X, Y;
    bool Visible;
    if (Type == WATCH_ROW && WatchGetRow(Payload, Y, Cells)) {
      ShowRow(Y, Cells);
    } else if (Type == WATCH_CURSOR && WatchGetCursor(Payload, X, Y, Visible)) {
      GotoXY(static_cast<uint8_t>(X), static_cast<uint8_t>(Y));
      if (Visible) CursorOn(); else CursorOff();
      ConsoleFlush();  // a frame is whole: on the screen with it
    }
  }
  return R == 0;
}

int Watch(const std::string &AArg) {
  const std::string Path = FindNode(AArg);
  if (Path.empty()) {
    std::fprintf(stderr, "doorwatch: no node %s is running here\n", AArg.c_str());
    return 1;
  }
  const int Fd = Connect(Path);
  if (Fd < 0) {
    const char *Why = errno == EACCES || errno == EPERM ? "this user may not watch that door"
                      : errno == ECONNREFUSED              ? "the door there has ended"
                      : errno == EAGAIN                    ? "the door does not answer"
                                                           : std::strerror(errno);
    std::fprintf(stderr, "doorwatch: %s: %s\n", Path.c_str(), Why);
    return 1;
  }
  TWatchReader Reader;
  uint8_t Type = 0;
  TWatchHello Hello;
  if (!ReadGreeting(Fd, Reader, Type, Hello)) {
    std::fprintf(stderr, "doorwatch: %s: the door does not answer\n", Path.c_str());
    return 1;
  }
  if (Type == WATCH_REFUSED) {
    std::fprintf(stderr, "doorwatch: %s: the door refuses this user\n", Path.c_str());
    return 1;
  }
  std::string Attach;
  WatchPut(Attach, WATCH_ATTACH, "");
  if (!SendAll(Fd, Attach)) return 1;

  std::atexit(PrintFarewell);  // before the console's own, so it runs after it
  gFarewell = "doorwatch: the door on node " + std::to_string(Hello.Node) + " has ended";
  ConsoleInit();
  for (;;) {
    ConsoleWaitInput(Fd, 1000);
    // The keys typed, whole ones to a message.
    std::string Keys, Messages;
    while (KeyPressed()) {
      const char Key = ReadKey();
      if (Key == KEY_DETACH) {
        gFarewell = "doorwatch: left node " + std::to_string(Hello.Node) + "; the door goes on";
        return 0;
      }
      if (Keys.size() + 2 > WATCH_MAX_PAYLOAD) {
        WatchPut(Messages, WATCH_KEYS, Keys);
        Keys.clear();
      }
      Keys += Key;
      if (Key == 0) Keys += ReadKey();
    }
    if (!Keys.empty()) WatchPut(Messages, WATCH_KEYS, Keys);
    if (!Messages.empty() && !SendAll(Fd, Messages)) return 0;
    char Buf[65536];
    for (;;) {
      const ssize_t N = recv(Fd, Buf, sizeof Buf, MSG_DONTWAIT);
      if (N > 0) {
        WatchFeed(Reader, std::string_view(Buf, static_cast<size_t>(N)));
        continue;
      }
      if (N < 0 && errno == EINTR) continue;
      if (N == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        ShowMessages(Reader);
        return 0;  // the door has ended
      }
      break;
    }
    if (!ShowMessages(Reader)) {
      gFarewell = "doorwatch: the door on node " + std::to_string(Hello.Node) + " sent what a door does not";
      return 1;
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return List();
  const std::string Arg = argv[1];
  if (argc > 2 || Arg == "-h" || Arg == "--help" || Arg == "-?") {
    std::printf(
        "usage: doorwatch            list the running nodes (node, caller, door, time left, idle)\n"
        "       doorwatch <node>     watch that node's screen and status bar; your keys are the\n"
        "                            sysop's (Alt+H hang up, Alt+G / Alt+T five minutes more / less,\n"
        "                            Alt+C chat); Ctrl+] leaves, the door goes on\n"
        "       doorwatch <socket>   the same, for a socket named by its path\n");
    return argc > 2 ? 1 : 0;
  }
  return Watch(Arg);
}
