// The built door as a stdio door, the way boards run it: the caller's stream on its
// standard handles (a board's pty, pipes, or a socket), the board in a UTF-8 locale. What
// the caller gets is what a socket caller gets, less the telnet; the board's terminal is
// given back as it was.
#include <gtest/gtest.h>

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

#include "e2e/caller.h"
#include "net.h"
#include "vtscreen.h"

namespace {

using TClock = std::chrono::steady_clock;

std::string BinFolder() {
  std::string Bin = VANTORAMA_BIN;
  return Bin.substr(0, Bin.rfind('/'));
}

// A DOOR32.SYS as ENiGMA½ writes it for a stdio door: type 2 with no handle, so -X.
std::string WriteDoor32(const TTempDir &ADir) {
  return ADir.Write("door32.sys", "2\r\n-1\r\n38400\r\nBoard\r\n5\r\nA B\r\nAB\r\n30\r\n45\r\n1\r\n3\r\n");
}

enum class THandles { Pty, Pipes, Socket };

struct TStdioDoor {
  pid_t Pid = -1;
  int Keys = -1;  // what the caller types goes in here
  int Screen = -1;  // what the door sends comes out here
  int Slave = -1;  // the pty's other end, held to read its settings
  int Status = -1;
  std::string Got;

  ~TStdioDoor() {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
    if (Keys >= 0 && Keys != Screen) close(Keys);
    for (int Fd : {Screen, Slave})
      if (Fd >= 0) close(Fd);
  }

  bool Start(THandles AHow, const std::vector<std::string> &AArgs, const std::string &AFolder) {
    int In[2] = {-1, -1}, Out[2] = {-1, -1};
    if (AHow == THandles::Pty) {
      winsize Size{25, 80, 0, 0};
      int Master = -1;
      Pid = forkpty(&Master, nullptr, nullptr, &Size);  // cooked and echoing, as boards start it
      if (Pid < 0) return false;
      if (Pid > 0) {
        Keys = Screen = Master;
        Slave = open(ptsname(Master), O_RDWR | O_NOCTTY);
      }
    } else {
      if (AHow == THandles::Pipes && (pipe(In) != 0 || pipe(Out) != 0)) return false;
      if (AHow == THandles::Socket) {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, In) != 0) return false;
        Out[0] = dup(In[1]);  // one connection: the door's end is both its handles
        Out[1] = dup(In[0]);
      }
      Pid = fork();
      if (Pid < 0) return false;
      if (Pid > 0) {
        close(In[0]);
        close(Out[1]);
        Keys = In[1];
        Screen = Out[0];
      }
    }
    if (Pid == 0) {
      if (AHow != THandles::Pty) {
        dup2(In[0], 0);
        dup2(Out[1], 1);
        const int Null = open("/dev/null", O_WRONLY);
        dup2(Null, 2);
      }
      if (chdir(AFolder.c_str()) != 0) _exit(126);
      setenv("LANG", "C.UTF-8", 1);  // the board's locale; the caller still gets CP437
      setenv("LC_ALL", "C.UTF-8", 1);
      std::vector<char *> Argv{const_cast<char *>(VANTORAMA_BIN)};
      for (const std::string &A : AArgs) Argv.push_back(const_cast<char *>(A.c_str()));
      Argv.push_back(nullptr);
      execv(VANTORAMA_BIN, Argv.data());
      _exit(127);
    }
    return true;
  }

  bool ReadUntil(const std::function<bool()> &APred, int ATimeoutMs) {
    const auto Deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
    char Buf[65536];
    while (!APred()) {
      if (TClock::now() > Deadline || Screen < 0) return false;
      pollfd P{Screen, POLLIN, 0};
      if (poll(&P, 1, 20) <= 0) continue;
      const ssize_t N = read(Screen, Buf, sizeof Buf);
      if (N > 0) Got.append(Buf, static_cast<size_t>(N));
      if (N <= 0) return APred();
    }
    return true;
  }

  bool Saw(const std::string &AText, int ATimeoutMs = 15000) {
    return ReadUntil([&] { return Got.find(AText) != std::string::npos; }, ATimeoutMs);
  }

  int Frames() const {
    int Moves = 0;
    for (size_t P = 0; (P = Got.find(";7f", P)) != std::string::npos; ++P)
      if (P >= 3 && (Got.compare(P - 3, 3, "\x1b[2") == 0 || Got.compare(P - 3, 3, "\x1b[3") == 0)) ++Moves;
    return Moves / 3;
  }

  bool Type(const std::string &AKeys) { return write(Keys, AKeys.data(), AKeys.size()) == static_cast<ssize_t>(AKeys.size()); }

  bool Wait(int ATimeoutMs) {
    const auto Deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (waitpid(Pid, &Status, WNOHANG) != Pid) {
      if (TClock::now() > Deadline) return false;
      ReadUntil([] { return false; }, 20);
    }
    Pid = -1;
    ReadUntil([] { return false; }, 100);
    return WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
  }
};

// The start of the show, to its first frame: the questions, the picture, the backdrop.
std::string UpToFirstFrame(const std::string &AStream) { return AStream.substr(0, AStream.find("\x1b[3;7f")); }

// The show with music and picture, as a socket caller gets it (telnet taken out).
std::string SocketShow() {
  e2e::TDoorRun Run;
  if (!Run.Start(BinFolder())) return "";
  if (!Run.ScreenShows(10, 10, "Would you like to enable ANSI Music")) return "";
  Run.Type("y");
  if (!Run.ScreenShows(12, 10, "Would you like to enable Sixel")) return "";
  Run.Type("y");
  Run.PumpUntil([&] { return Run.Caller.Frames > 3; }, 20000);
  Run.Type("q");
  Run.Wait(10000);
  return Run.Caller.Raw;
}

TEST(StdioCallerTest, GetsTheSocketCallersBytesWithMusicAndPicture) {
  std::string Socket = SocketShow();
  ASSERT_FALSE(Socket.empty());
  const std::string kClear = "\x1b[2J\x1b[1;1f";
  ASSERT_TRUE(Socket.starts_with(kClear)) << "a link session clears the screen at start";
  Socket.erase(0, kClear.size());
  ASSERT_NE(Socket.find("\x1bP"), std::string::npos) << "the picture";

  const struct {
    const char *Name;
    THandles How;
  } kCases[] = {{"a board's pty", THandles::Pty}, {"pipes", THandles::Pipes}, {"a socket", THandles::Socket}};
  for (const auto &C : kCases) {
    SCOPED_TRACE(C.Name);
    TTempDir Dir;
    TStdioDoor Door;
    ASSERT_TRUE(Door.Start(C.How, {"-D" + WriteDoor32(Dir), "-X"}, BinFolder()));
    termios Before{};
    if (C.How == THandles::Pty) {
      ASSERT_EQ(tcgetattr(Door.Slave, &Before), 0);
    }
    ASSERT_TRUE(Door.Saw("(Y/N): "));
    if (C.How == THandles::Pty) {
      termios During{};
      ASSERT_EQ(tcgetattr(Door.Slave, &During), 0);
      EXPECT_EQ(During.c_lflag & (ECHO | ICANON), 0u) << "raw: no echo of the caller's keys";
      EXPECT_EQ(During.c_oflag & OPOST, 0u) << "the door's bytes go as they are";
    }
    ASSERT_TRUE(Door.Type("y"));
    ASSERT_TRUE(Door.Saw("Sixel graphics? (Y/N): "));
    ASSERT_TRUE(Door.Type("y"));
    // The first notes: the spiral's on frame 15, 30, the scroller's on 40.
    ASSERT_TRUE(Door.ReadUntil([&] { return Door.Frames() > 41; }, 30000)) << Door.Frames() << " frames, " << Door.Got.size() << " bytes: " << Door.Got.substr(Door.Got.size() > 300 ? Door.Got.size() - 300 : 0);
    ASSERT_TRUE(Door.Type("q"));
    ASSERT_TRUE(Door.Saw("Returning to BBS...\r\n"));
    ASSERT_TRUE(Door.Wait(10000)) << "exit status " << Door.Status;

    EXPECT_EQ(UpToFirstFrame(Door.Got), UpToFirstFrame(Socket));
    size_t At = 0;
    for (const char *Note : {"O4 C16", "O4 E16", "O4 G16"}) {
      At = Door.Got.find("\x1b[s\x1b[1;1H\x1b[NMB T160 " + std::string(Note) + "\x0e\x1b[u", At);
      EXPECT_NE(At, std::string::npos) << Note;
    }
    EXPECT_NE(Door.Got.find("\xCD\xCD\xCD"), std::string::npos) << "CP437 bytes in a UTF-8 locale";
    EXPECT_EQ(Door.Got.find("\xE2\x95"), std::string::npos);
    EXPECT_EQ(Door.Got.find('\xFF'), std::string::npos) << "no telnet";
    if (C.How == THandles::Pty) {
      termios After{};
      ASSERT_EQ(tcgetattr(Door.Slave, &After), 0);
      EXPECT_EQ(After.c_lflag, Before.c_lflag);
      EXPECT_EQ(After.c_oflag, Before.c_oflag);
      EXPECT_EQ(After.c_iflag, Before.c_iflag);
    }
  }
}

TEST(StdioCallerTest, UnknownSequencesDoNotHoldTheShow) {
  TTempDir Dir;
  TStdioDoor Door;
  ASSERT_TRUE(Door.Start(THandles::Pipes, {"-D" + WriteDoor32(Dir), "-X"}, BinFolder()));
  ASSERT_TRUE(Door.Saw("(Y/N): "));
  ASSERT_TRUE(Door.Type("n"));
  ASSERT_TRUE(Door.Saw("Sixel graphics? (Y/N): "));
  ASSERT_TRUE(Door.Type("n"));
  ASSERT_TRUE(Door.ReadUntil([&] { return Door.Frames() > 5; }, 20000));
  // Shift-Tab, an arrow in application mode, F1: none of them ends the show or stops it.
  for (const char *Keys : {"\x1b[Z", "\x1bOA", "\x1bOP", "\x1b[15~"}) {
    SCOPED_TRACE(Keys + 1);
    ASSERT_TRUE(Door.Type(Keys));
    const int Before = Door.Frames();
    ASSERT_TRUE(Door.ReadUntil([&] { return Door.Frames() > Before + 10; }, 5000)) << "the show stopped";
  }
  EXPECT_EQ(Door.Got.find("Thanks for checking out"), std::string::npos);
  ASSERT_TRUE(Door.Type("\x1b"));  // ESC alone still leaves
  ASSERT_TRUE(Door.Saw("Returning to BBS...\r\n"));
  EXPECT_TRUE(Door.Wait(10000));
}

// -A -W on a board's pty: the caller's UTF-8 terminal answers the probe (its answers are
// no keys), and the frame then stands on it in its own box characters, each in its cell.
TEST(StdioCallerTest, TheProbeFindsAUtf8TerminalAndTheFrameFitsIt) {
  TTempDir Dir;
  TStdioDoor Door;
  ASSERT_TRUE(Door.Start(THandles::Pty, {"-D" + WriteDoor32(Dir), "-X", "-A", "-W"}, BinFolder()));
  const std::string kAsk = "\r\x1b[6n\xC3\xA9\x1b[6n\x1b[s\x1b[999;999H\x1b[6n\x1b[u";
  ASSERT_TRUE(Door.Saw(kAsk));
  EXPECT_TRUE(Door.Got.starts_with(kAsk)) << "nothing before the probe";
  ASSERT_TRUE(Door.Type("\x1b[7;1R\x1b[7;2R\x1b[25;80R"));  // one cell: UTF-8; 80 x 25
  ASSERT_TRUE(Door.Saw("(Y/N): "));
  ASSERT_TRUE(Door.Type("n"));
  ASSERT_TRUE(Door.Saw("Sixel graphics? (Y/N): "));
  ASSERT_TRUE(Door.Type("n"));
  ASSERT_TRUE(Door.ReadUntil([&] { return Door.Frames() > 5; }, 20000));
  TVtScreen Vt(80, 25, true);
  VtFeed(Vt, Door.Got);
  EXPECT_EQ(VtChar(Vt, 2, 1), 0x2554u);
  EXPECT_EQ(VtChar(Vt, 10, 1), 0x2550u);
  EXPECT_EQ(VtChar(Vt, 79, 1), 0x2557u);
  EXPECT_EQ(VtChar(Vt, 2, 23), 0x255Au);
  EXPECT_EQ(VtChar(Vt, 79, 12), 0x2551u);
  EXPECT_EQ(VtChar(Vt, 9, 4), 0x250Cu);
  EXPECT_EQ(VtChar(Vt, 70, 19), 0x2518u);
  EXPECT_TRUE(VtRowText(Vt, 22).starts_with(" \u2551        BBS Demo by Maelgrin")) << VtRowText(Vt, 22);
  ASSERT_TRUE(Door.Type("q"));
  ASSERT_TRUE(Door.Saw("Returning to BBS...\r\n"));
  EXPECT_TRUE(Door.Wait(10000));
}

// The words that end the door before a caller's session starts reach a pipe or a file too.
TEST(StdioCallerTest, EndingMessagesReachAPipe) {
  TTempDir Dir;
  const struct {
    std::vector<std::string> Args;
    const char *Text;
  } kCases[] = {
      {{"-?"}, " USAGE: vantorama <PARAMETERS>\r\n"},
      {{"-?"}, "  -W         ASK THE CALLER'S WINDOW SIZE\r\n"},
      {{"-D" + Dir.File("missing/door32.sys"), "-X"}, "  Drop File Does Not Exist Or Is Not Supported:\r\n"},
      {{"-D" + WriteDoor32(Dir)}, "  Invalid comm number: -1\r\n"},
  };
  for (const auto &C : kCases) {
    SCOPED_TRACE(C.Text);
    TStdioDoor Door;
    ASSERT_TRUE(Door.Start(THandles::Pipes, C.Args, BinFolder()));
    EXPECT_TRUE(Door.Saw(C.Text, 10000)) << Door.Got;
    EXPECT_TRUE(Door.Wait(10000));
    EXPECT_EQ(Door.Got.find('\x1b'), std::string::npos) << "plain lines, no drawing";
  }
}

}  // namespace
