// The console in a real process on a real pseudo-terminal: keys as the terminal sends them,
// and the terminal given back (cooked keyboard, cursor, colours) at every end.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "doorkit/console.h"
#include "console_internal.h"
#include "vtscreen.h"

namespace {

constexpr int WAIT_MS = 5000;

struct TChild {
  pid_t Pid = -1;
  int Master = -1;
  std::string Log;  // everything the child drew
};

// The door's own exit hook, installed after the console took the terminal: it must still
// draw on the screen before the console gives the terminal back.
void DrawGoodbye() {
  GotoXY(1, 3);
  ConsoleWrite("BYE");
}

void HangInExitHook() { Delay(60000); }

// Shows every key it reads as hex on row 2; q ends it.
[[noreturn]] void KeyEcho(void (*AExitHook)()) {
  setenv("LC_ALL", "C.UTF-8", 1);
  ConsoleAttachTerminal();
  std::atexit(AExitHook);
  ConsoleWrite("READY");
  GotoXY(1, 2);
  for (;;) {
    const char K = ReadKey();
    char Hex[8];
    std::snprintf(Hex, sizeof Hex, "%02X ", static_cast<unsigned char>(K));
    ConsoleWrite(Hex);
    if (K == 'q') std::exit(0);
  }
}

// ABody runs in a child on a new 80x30 pseudo-terminal, with AArg; it never returns.
TChild StartBody(void (*ABody)(int), int AArg) {
  TChild C;
  int Slave = -1;
  winsize Size{};
  Size.ws_col = 80;
  Size.ws_row = 30;
  if (openpty(&C.Master, &Slave, nullptr, nullptr, &Size) != 0) return C;
  C.Pid = fork();
  if (C.Pid == 0) {
    close(C.Master);
    if (login_tty(Slave) != 0) _exit(99);
    ABody(AArg);
    _exit(98);
  }
  close(Slave);
  return C;
}

void (*gExitHook)() = nullptr;
TChild Start(void (*AExitHook)()) {
  gExitHook = AExitHook;
  return StartBody([](int) { KeyEcho(gExitHook); }, 0);
}

// The upper half of CP437 on rows 2, 4, 6 and 8, 32 bytes each and a mark after them, with a
// row of "=" below each, in whatever locale the environment names.
void DrawUpperHalf(int) {
  ConsoleAttachTerminal();
  for (int Row = 0; Row < 4; Row++) {
    std::string Cells;
    for (int I = 0; I < 32; I++) Cells += static_cast<char>(0x80 + Row * 32 + I);
    ConsoleWriteCells(1, static_cast<uint8_t>(2 + 2 * Row), Cells + "|end", 0x07);
    ConsoleWriteCells(1, static_cast<uint8_t>(3 + 2 * Row), std::string(40, '='), 0x07);
  }
  ConsoleWriteCells(1, 1, "READY", 0x07);
  ConsoleFlush();
  ReadKey();
  std::exit(0);
}

// Takes the terminal, then dies of the signal given once a key comes.
void Crash(int ASignal) {
  rlimit NoCore{0, 0};
  setrlimit(RLIMIT_CORE, &NoCore);
  setenv("LC_ALL", "C.UTF-8", 1);
  ConsoleAttachTerminal();
  ConsoleWrite("READY");
  ReadKey();
  switch (ASignal) {
    case SIGSEGV: {
      volatile int *Nowhere = nullptr;
      *Nowhere = 1;
      break;
    }
    case SIGABRT: std::abort();
    case SIGILL: __builtin_trap();
    default: raise(ASignal); break;
  }
  std::exit(0);
}

void Pump(TChild &AChild, TVtScreen &AVt, int AMs) {
  pollfd P{AChild.Master, POLLIN, 0};
  if (poll(&P, 1, AMs) <= 0) return;
  char Buf[4096];
  const ssize_t N = read(AChild.Master, Buf, sizeof Buf);
  if (N <= 0) return;
  AChild.Log.append(Buf, static_cast<size_t>(N));
  VtFeed(AVt, {Buf, static_cast<size_t>(N)});
}

bool PumpUntil(TChild &AChild, TVtScreen &AVt, const std::function<bool()> &ADone) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
  while (!ADone()) {
    if (std::chrono::steady_clock::now() > End) return false;
    Pump(AChild, AVt, 10);
  }
  return true;
}

bool RowStarts(const TVtScreen &AVt, int AY, const std::string &AText) {
  return VtRowText(AVt, AY).compare(0, AText.size(), AText) == 0;
}

// The child's exit status, -1 if it did not end in time (then it is killed).
int WaitExit(TChild &AChild, TVtScreen &AVt) {
  int Status = 0;
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
  while (waitpid(AChild.Pid, &Status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > End) {
      kill(AChild.Pid, SIGKILL);
      waitpid(AChild.Pid, &Status, 0);
      return -1;
    }
    Pump(AChild, AVt, 10);
  }
  for (int I = 0; I < 50; I++) Pump(AChild, AVt, 1);  // what it drew last
  return Status;
}

bool KeyboardIsCooked(int AMaster) {
  termios T{};
  if (tcgetattr(AMaster, &T) != 0) return false;
  return (T.c_lflag & ICANON) && (T.c_lflag & ECHO);
}

void Send(TChild &AChild, const std::string &ABytes) {
  ASSERT_EQ(write(AChild.Master, ABytes.data(), ABytes.size()), static_cast<ssize_t>(ABytes.size()));
}

const std::string GOODBYE = "\x1b[0m\x1b[?7h\x1b[?25h\x1b[26H";

void ExpectGivenBack(TChild &AChild, TVtScreen &AVt, int AStatus) {
  ASSERT_TRUE(WIFEXITED(AStatus)) << AStatus;
  EXPECT_EQ(WEXITSTATUS(AStatus), 0);
  EXPECT_TRUE(KeyboardIsCooked(AChild.Master));
  EXPECT_TRUE(AVt.CursorVisible);
  EXPECT_EQ(VtCursorY(AVt), 26);  // below the drawn screen
  EXPECT_EQ(VtCursorX(AVt), 1);
  EXPECT_NE(AChild.Log.rfind(GOODBYE), std::string::npos);
}

struct ConsolePtyTest : ::testing::Test {
  void SetUp() override { ConsoleReset(); }
  void TearDown() override {
    if (Child.Master >= 0) close(Child.Master);
    ConsoleReset();
  }
  TChild Child;
};

TEST_F(ConsolePtyTest, KeysDecodeAndTheTerminalIsGivenBackAtExit) {
  TVtScreen Vt(80, 30, true);
  Child = Start(DrawGoodbye);
  ASSERT_GT(Child.Pid, 0);
  ASSERT_TRUE(PumpUntil(Child, Vt, [&] { return RowStarts(Vt, 1, "READY"); }));
  EXPECT_FALSE(KeyboardIsCooked(Child.Master)) << "raw while the door runs";

  struct TCase {
    const char *Name;
    std::string Sent;
    std::string Shown;  // row 2 so far
  };
  const TCase kCases[] = {
      {"up", "\x1b[A", "00 48 "},
      {"F12", "\x1b[24~", "00 48 00 86 "},
      {"backspace", "\x7f", "00 48 00 86 08 "},
      {"lone ESC", "\x1b", "00 48 00 86 08 1B "},
      {"enter", "\r", "00 48 00 86 08 1B 0D "},
      {"Alt+X", "\x1bx", "00 48 00 86 08 1B 0D 00 2D "},
      // Ctrl+@ (Ctrl+Space) sends a lone 0: it comes as a PC gives it, never as half a key.
      {"Ctrl+@", std::string(1, '\0'), "00 48 00 86 08 1B 0D 00 2D 00 03 "},
      // The sysop types UTF-8; the door gets CP437, and nothing for a character without it.
      {"e acute", "\xC3\xA9", "00 48 00 86 08 1B 0D 00 2D 00 03 82 "},
      {"a box piece, split", "\xE2\x95", "00 48 00 86 08 1B 0D 00 2D 00 03 82 "},
      {"its last byte", "\x94", "00 48 00 86 08 1B 0D 00 2D 00 03 82 C9 "},
      {"the euro sign has no CP437 form", "\xE2\x82\xAC" "a", "00 48 00 86 08 1B 0D 00 2D 00 03 82 C9 61 "},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    Send(Child, C.Sent);
    EXPECT_TRUE(PumpUntil(Child, Vt, [&] { return RowStarts(Vt, 2, C.Shown); })) << VtRowText(Vt, 2);
  }
  Send(Child, "q");
  ExpectGivenBack(Child, Vt, WaitExit(Child, Vt));
  EXPECT_TRUE(RowStarts(Vt, 3, "BYE"));
}

TEST_F(ConsolePtyTest, AResizeWhileWaitingRedrawsEverything) {
  TVtScreen Vt(80, 30, true);
  Child = Start(DrawGoodbye);
  ASSERT_GT(Child.Pid, 0);
  ASSERT_TRUE(PumpUntil(Child, Vt, [&] { return RowStarts(Vt, 1, "READY"); }));
  const size_t Drawn = Child.Log.size();
  winsize Size{};
  Size.ws_col = 100;
  Size.ws_row = 24;
  VtResize(Vt, 100, 24);
  VtFeed(Vt, "\x1b[H\x1b[2J");  // what the terminal showed is gone
  ASSERT_EQ(ioctl(Child.Master, TIOCSWINSZ, &Size), 0);  // SIGWINCH for the door
  EXPECT_TRUE(PumpUntil(Child, Vt, [&] { return RowStarts(Vt, 1, "READY"); }));
  EXPECT_NE(Child.Log.find("\x1b[2J", Drawn), std::string::npos);
  Send(Child, "q");
  WaitExit(Child, Vt);
  // A terminal no taller than the screen: the cursor goes below what is drawn, and nothing
  // scrolls away.
  EXPECT_EQ(VtCursorY(Vt), 4);
  EXPECT_TRUE(RowStarts(Vt, 1, "READY"));
  EXPECT_TRUE(RowStarts(Vt, 3, "BYE"));
}

TEST_F(ConsolePtyTest, SignalsEndTheDoorInOrderAndGiveTheTerminalBack) {
  struct TCase {
    const char *Name;
    int Signal;         // sent with kill, or
    std::string Typed;  // typed on the terminal
  };
  const TCase kCases[] = {
      {"SIGTERM", SIGTERM, ""},
      {"SIGHUP", SIGHUP, ""},
      {"Ctrl+C", 0, "\x03"},
      {"Ctrl+\\", 0, "\x1c"},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    TVtScreen Vt(80, 30, true);
    Child = Start(DrawGoodbye);
    ASSERT_GT(Child.Pid, 0);
    ASSERT_TRUE(PumpUntil(Child, Vt, [&] { return RowStarts(Vt, 1, "READY"); }));
    if (C.Signal) kill(Child.Pid, C.Signal);
    if (!C.Typed.empty()) Send(Child, C.Typed);
    ExpectGivenBack(Child, Vt, WaitExit(Child, Vt));
    EXPECT_TRUE(RowStarts(Vt, 3, "BYE")) << "the door's exit hook ran first";
    close(Child.Master);
    Child = TChild{};
  }
}

// An 8-bit terminal takes 0x80-0x9F as controls (0x9B starts a control sequence, 0x84 moves
// a line down): the door sends stand-ins for them, and the screen stays as drawn.
TEST_F(ConsolePtyTest, NoByteIsAControlOnAnEightBitTerminal) {
  TVtScreen Vt(80, 30, false);
  Child = StartBody(
      [](int) {
        setenv("LC_ALL", "C", 1);
        DrawUpperHalf(0);
      },
      0);
  ASSERT_GT(Child.Pid, 0);
  ASSERT_TRUE(PumpUntil(Child, Vt, [&] { return RowStarts(Vt, 1, "READY"); }));
  for (int I = 0; I < 20; I++) Pump(Child, Vt, 10);
  for (int Row = 0; Row < 4; Row++) {
    SCOPED_TRACE(Row);
    EXPECT_TRUE(RowStarts(Vt, 3 + 2 * Row, std::string(40, '='))) << VtRowText(Vt, 3 + 2 * Row);
    // (The emulator shows some 8-bit characters as no cell or as a blank.)
    const size_t Mark = VtRowText(Vt, 2 + 2 * Row).find("|end");
    EXPECT_TRUE(Mark >= 28 && Mark <= 32) << VtRowText(Vt, 2 + 2 * Row);
  }
  for (char C : Child.Log) EXPECT_FALSE(static_cast<uint8_t>(C) >= 0x80 && static_cast<uint8_t>(C) < 0xA0);
  Send(Child, "q");
  ExpectGivenBack(Child, Vt, WaitExit(Child, Vt));
}

// ssh hands a minimal server the client's LANG=en_US.UTF-8, a locale the system lacks: the
// terminal is still UTF-8, as the name says.
TEST_F(ConsolePtyTest, AUtf8LocaleTheSystemLacksIsStillUtf8) {
  struct TCase {
    const char *Lang;
    bool Utf8;
  };
  const TCase kCases[] = {{"xx_XX.UTF-8", true}, {"xx_XX.utf8@euro", true}, {"xx_XX.ISO-8859-1", false}};
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Lang);
    TVtScreen Vt(80, 30, C.Utf8);
    static const char *Lang;
    Lang = C.Lang;
    Child = StartBody(
        [](int) {
          unsetenv("LC_ALL");
          unsetenv("LC_CTYPE");
          setenv("LANG", Lang, 1);
          DrawUpperHalf(0);
        },
        0);
    ASSERT_GT(Child.Pid, 0);
    ASSERT_TRUE(PumpUntil(Child, Vt, [&] { return RowStarts(Vt, 1, "READY"); }));
    for (int I = 0; I < 20; I++) Pump(Child, Vt, 10);
    if (C.Utf8) {
      EXPECT_EQ(VtChar(Vt, 10, 6), 0x2554u) << "CP437 0xC9 in UTF-8";
    } else {
      EXPECT_NE(Child.Log.find('\xC9'), std::string::npos) << "CP437 0xC9 as it is";
    }
    Send(Child, "q");
    ExpectGivenBack(Child, Vt, WaitExit(Child, Vt));
    close(Child.Master);
    Child = TChild{};
  }
}

// A crash must not leave the sysop's shell without echo: the terminal is given back, and the
// program dies of the very signal, so the board and a core dump see the real cause.
TEST_F(ConsolePtyTest, ACrashGivesTheTerminalBackAndDiesOfTheSameSignal) {
  for (int Signal : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) {
    SCOPED_TRACE(strsignal(Signal));
#if defined(__SANITIZE_ADDRESS__)
    if (Signal == SIGSEGV) continue;  // the sanitizer keeps a real fault to itself
#endif
    TVtScreen Vt(80, 30, true);
    Child = StartBody(Crash, Signal);
    ASSERT_GT(Child.Pid, 0);
    ASSERT_TRUE(PumpUntil(Child, Vt, [&] { return RowStarts(Vt, 1, "READY"); }));
    EXPECT_FALSE(KeyboardIsCooked(Child.Master));
    Send(Child, "x");
    const int Status = WaitExit(Child, Vt);
    ASSERT_NE(Status, -1);
    EXPECT_TRUE(KeyboardIsCooked(Child.Master));
    EXPECT_TRUE(Vt.CursorVisible);
    EXPECT_NE(Child.Log.rfind("\x1b[0m\x1b[?7h\x1b[?25h"), std::string::npos);
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer reports the fault and ends the program its own way.
    EXPECT_FALSE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
#else
    ASSERT_TRUE(WIFSIGNALED(Status)) << Status;
    EXPECT_EQ(WTERMSIG(Status), Signal);
#endif
    close(Child.Master);
    Child = TChild{};
  }
}

TEST_F(ConsolePtyTest, ASecondSignalWhileEndingGivesTheTerminalBackAtOnce) {
  TVtScreen Vt(80, 30, true);
  Child = Start(HangInExitHook);
  ASSERT_GT(Child.Pid, 0);
  ASSERT_TRUE(PumpUntil(Child, Vt, [&] { return RowStarts(Vt, 1, "READY"); }));
  kill(Child.Pid, SIGTERM);
  for (int I = 0; I < 20; I++) Pump(Child, Vt, 10);  // now it hangs in its exit hook
  kill(Child.Pid, SIGTERM);
  ExpectGivenBack(Child, Vt, WaitExit(Child, Vt));
}

// Standard input and output are not terminals: nothing is drawn, input is decoded, and its
// end means no key is waiting.
TEST_F(ConsolePtyTest, PipesFilesAndNullAreNoTerminal) {
  struct TCase {
    const char *Name;
    const char *Input;  // nullptr: standard input closed
    bool DevNull;
    std::string Keys;
  };
  const TCase kCases[] = {
      {"/dev/null", nullptr, true, ""},
      {"a pipe", "\x1b[Ax\n", false, std::string("\0Hx\r", 4)},
      {"closed", nullptr, false, ""},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    int Out[2], In[2];
    ASSERT_EQ(pipe(Out), 0);
    ASSERT_EQ(pipe(In), 0);
    if (C.Input) {
      ASSERT_GT(write(In[1], C.Input, std::strlen(C.Input)), 0);
    }
    close(In[1]);
    const pid_t Pid = fork();
    if (Pid == 0) {
      if (C.DevNull)
        dup2(open("/dev/null", O_RDONLY), 0);
      else if (C.Input)
        dup2(In[0], 0);
      else
        close(0);
      dup2(Out[1], 1);
      close(Out[0]);
      ConsoleAttachTerminal();
      ConsoleWrite("hello");
      Delay(1);
      std::string Keys;
      for (int I = 0; I < 20 && KeyPressed(); I++) Keys += ReadKey();
      const bool Quiet = !KeyPressed() && !KeyPressed();
      std::exit(Keys == C.Keys && Quiet ? 0 : 3);
    }
    close(In[0]);
    close(Out[1]);
    std::string Written;
    char Buf[256];
    pollfd P{Out[0], POLLIN, 0};
    while (poll(&P, 1, WAIT_MS) > 0) {
      const ssize_t N = read(Out[0], Buf, sizeof Buf);
      if (N <= 0) break;
      Written.append(Buf, static_cast<size_t>(N));
    }
    close(Out[0]);
    int Status = 0;
    waitpid(Pid, &Status, 0);
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 0);
    EXPECT_EQ(Written, "");
  }
}

}  // namespace
