// The console on the sysop's real terminal: takes it over (raw keyboard, our own drawing),
// gives it back at every end of the program, reads the keyboard and runs the waits.
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <ctime>

#include "doorkit/console.h"
#include "console_parts.h"
#include "console_watch.h"

namespace {

void DefaultOnSignal(int) { std::exit(0); }

}  // namespace

void (*ConsoleOnSignal)(int ASignal) = DefaultOnSignal;
void (*ConsoleOnWait)() = nullptr;

namespace {

enum class TOutput { None, Terminal, Test };

struct State {
  bool Initialised = false;
  TOutput Output = TOutput::None;
  bool Utf8 = true;
  bool InputOpen = false;  // standard input is read for keys (until its end)
  bool RawTaken = false;
  std::string Frame;  // reused for every frame: one write each
  std::string TestOutput;
  uint64_t (*Clock)() = nullptr;
  void (*Sleep)(uint32_t) = nullptr;
  uint64_t LastQuiet = 0;  // when the keyboard last had nothing more
};

State g;

// Shared with the signal handler.
volatile sig_atomic_t FPendingSignal = 0;
volatile sig_atomic_t FResized = 0;
volatile sig_atomic_t FEnding = 0;
volatile sig_atomic_t FRestoreArmed = 0;
volatile sig_atomic_t FGoodbyeLen = 0;
termios FSavedTermios;
char FGoodbye[64];
bool FExitHookInstalled = false;

constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// A crash: the terminal is given back, then the program dies of the same signal.
constexpr int CRASH_SIGNALS[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};
struct sigaction FCrashWas[sizeof CRASH_SIGNALS / sizeof CRASH_SIGNALS[0]];
// Room for the crash handler when the stack itself has overflowed.
alignas(16) char FCrashStack[65536];

// Async-signal-safe: only write and tcsetattr.
void RestoreNow() {
  if (FGoodbyeLen > 0) {
    ssize_t Ignored = write(STDOUT_FILENO, FGoodbye, static_cast<size_t>(FGoodbyeLen));
    (void)Ignored;
  }
  if (FRestoreArmed) tcsetattr(STDIN_FILENO, TCSANOW, &FSavedTermios);
}

void OnSignal(int ASignal) {
  if (ASignal == SIGWINCH) {
    FResized = 1;
    return;
  }
  // Already ending, or the first one was never acted on: give the terminal back now.
  if (FEnding || FPendingSignal) {
    RestoreNow();
    _exit(0);
  }
  FPendingSignal = ASignal;
}

void OnCrash(int ASignal, siginfo_t *AInfo, void *) {
  RestoreNow();
  FRestoreArmed = 0;
  FGoodbyeLen = 0;
  // What was there before (the default, or a sanitizer's report) gets the signal now: sent
  // again when it came from kill or raise, met again on return when the fault was real.
  for (size_t I = 0; I < sizeof CRASH_SIGNALS / sizeof CRASH_SIGNALS[0]; I++)
    if (CRASH_SIGNALS[I] == ASignal) sigaction(ASignal, &FCrashWas[I], nullptr);
  if (AInfo == nullptr || AInfo->si_code <= 0) raise(ASignal);
}

void InstallCrashHandlers() {
  stack_t Old{};
  if (sigaltstack(nullptr, &Old) == 0 && (Old.ss_flags & SS_DISABLE)) {
    stack_t Alt{};
    Alt.ss_sp = FCrashStack;
    Alt.ss_size = sizeof FCrashStack;
    sigaltstack(&Alt, nullptr);
  }
  for (size_t I = 0; I < sizeof CRASH_SIGNALS / sizeof CRASH_SIGNALS[0]; I++) {
    struct sigaction New {};
    New.sa_sigaction = OnCrash;
    sigemptyset(&New.sa_mask);
    New.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(CRASH_SIGNALS[I], &New, &FCrashWas[I]);
  }
}

void Install(int ASignal) {
  struct sigaction Old {};
  if (sigaction(ASignal, nullptr, &Old) != 0 || Old.sa_handler == SIG_IGN) return;  // nohup and friends
  struct sigaction New {};
  New.sa_handler = OnSignal;
  sigemptyset(&New.sa_mask);
  New.sa_flags = SA_RESTART;  // other code's reads and writes go on; our sleeps still wake
  sigaction(ASignal, &New, nullptr);
}

uint64_t MonotonicNs() {
  timespec T{};
  clock_gettime(CLOCK_MONOTONIC, &T);
  return static_cast<uint64_t>(T.tv_sec) * 1000000000u + static_cast<uint64_t>(T.tv_nsec);
}

uint64_t Now() { return g.Clock ? g.Clock() : MonotonicNs() / 1000000u; }

void QuerySize(int &ACols, int &ARows) {
  winsize W{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &W) == 0 && W.ws_col > 0 && W.ws_row > 0) {
    ACols = W.ws_col;
    ARows = W.ws_row;
  } else {
    ACols = CONSOLE_COLS;
    ARows = CONSOLE_ROWS;
  }
}

bool IsUtf8Name(const char *ACodeset) {
  return strcasecmp(ACodeset, "UTF-8") == 0 || strcasecmp(ACodeset, "UTF8") == 0;
}

// What the environment names, when the system lacks that locale (ssh hands a minimal
// server the client's LANG=en_US.UTF-8): the first of LC_ALL, LC_CTYPE and LANG that is
// set, read as language_territory.codeset@modifier.
bool EnvironmentIsUtf8() {
  for (const char *Name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char *Value = getenv(Name);
    if (!Value || !*Value) continue;
    const char *Dot = strchr(Value, '.');
    if (!Dot) return false;
    std::string Codeset(Dot + 1);
    Codeset = Codeset.substr(0, Codeset.find('@'));
    return IsUtf8Name(Codeset.c_str());
  }
  return false;
}

// Asks the locale without leaving it changed for the rest of the program.
bool LocaleIsUtf8() {
  const char *Old = setlocale(LC_CTYPE, nullptr);
  const std::string Saved = Old ? Old : "C";
  bool Utf8;
  if (setlocale(LC_CTYPE, "")) {
    const char *Codeset = nl_langinfo(CODESET);
    Utf8 = Codeset && IsUtf8Name(Codeset);
  } else {
    Utf8 = EnvironmentIsUtf8();
  }
  setlocale(LC_CTYPE, Saved.c_str());
  return Utf8;
}

// Terminals known to paint erased cells in the current background. Elsewhere (GNU screen,
// whose default is not to) an erase would show the terminal's own colours, so every cell
// is sent instead.
bool TerminalErasesInColour() {
  const char *Term = getenv("TERM");
  if (!Term) return false;
  for (const char *Family : {"xterm", "linux", "tmux", "rxvt", "putty", "vte", "alacritty", "kitty",
                             "wezterm", "foot"}) {
    if (strncmp(Term, Family, strlen(Family)) == 0) return true;
  }
  return false;
}

// Keeps the bytes of the goodbye ready for the signal handler.
void ArmGoodbye() {
  std::string Bye;
  RenderGoodbye(Bye);
  FGoodbyeLen = 0;
  const size_t Len = std::min(Bye.size(), sizeof FGoodbye);
  std::memcpy(FGoodbye, Bye.data(), Len);
  FGoodbyeLen = static_cast<sig_atomic_t>(Len);
}

void LoseTerminal() {
  g.Output = TOutput::None;
  FGoodbyeLen = 0;
}

void WriteAll(const std::string &AData) {
  size_t Done = 0;
  int Stalls = 0;
  while (Done < AData.size()) {
    const ssize_t W = write(STDOUT_FILENO, AData.data() + Done, AData.size() - Done);
    if (W > 0) {
      Done += static_cast<size_t>(W);
      continue;
    }
    if (W < 0 && errno == EINTR) continue;
    if (W < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Stalls++ < 50) {
      pollfd P{STDOUT_FILENO, POLLOUT, 0};
      poll(&P, 1, 100);
      continue;
    }
    LoseTerminal();  // the terminal is gone: the screen goes on in memory
    return;
  }
}

void Flush() {
  WatchFlush(ConsoleFrame(), false);
  if (g.Output == TOutput::None) {
    ConsoleFrameClean();
    return;
  }
  if (g.Output == TOutput::Terminal && FResized) {
    FResized = 0;
    int Cols, Rows;
    QuerySize(Cols, Rows);
    RenderSetTerminal(Cols, Rows, g.Utf8);
    ArmGoodbye();
  }
  if (g.Output == TOutput::Test) {
    RenderFrame(ConsoleFrame(), g.TestOutput);
    ConsoleFrameClean();
    return;
  }
  g.Frame.clear();
  RenderFrame(ConsoleFrame(), g.Frame);
  ConsoleFrameClean();
  if (!g.Frame.empty()) WriteAll(g.Frame);
}

void GiveBack() {
  if (g.Output == TOutput::Terminal) {
    if (FResized) Flush();
    g.Frame.clear();
    RenderFrame(ConsoleFrame(), g.Frame);
    ConsoleFrameClean();
    RenderGoodbye(g.Frame);  // the last frame and the goodbye in one write
    WriteAll(g.Frame);
    LoseTerminal();
  }
  if (g.RawTaken) tcsetattr(STDIN_FILENO, TCSANOW, &FSavedTermios);
  g.RawTaken = false;
  FRestoreArmed = 0;
}

// Registered when the console takes the terminal, so the exit hooks a door installs after
// that run first and still draw on the screen.
void ExitHook() {
  FEnding = 1;
  GiveBack();
}

void TakeRawKeyboard() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &FSavedTermios) != 0) return;
  termios Raw = FSavedTermios;
  Raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  Raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | IEXTEN);
  Raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  Raw.c_cflag |= CS8;
  Raw.c_cc[VMIN] = 1;
  Raw.c_cc[VTIME] = 0;
  // Ctrl+C and Ctrl+\ still end the door in order, without the terminal throwing away the
  // last frame it was sent; Ctrl+Z would stop it with the terminal raw.
  Raw.c_lflag |= NOFLSH;
  Raw.c_cc[VSUSP] = _POSIX_VDISABLE;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &Raw) != 0) return;
  g.RawTaken = true;
  FRestoreArmed = 1;
}

void TakeTerminal() {
  const bool Utf8 = LocaleIsUtf8();
  g.InputOpen = fcntl(STDIN_FILENO, F_GETFL) != -1;
  if (g.InputOpen) TakeRawKeyboard();
  KeysSetUtf8(Utf8 && g.RawTaken);
  if (isatty(STDOUT_FILENO)) {
    g.Output = TOutput::Terminal;
    g.Utf8 = Utf8;
    int Cols, Rows;
    QuerySize(Cols, Rows);
    RenderSetTerminal(Cols, Rows, g.Utf8);
    RenderSetErase(TerminalErasesInColour());
    ArmGoodbye();
    Install(SIGWINCH);
  }
  for (int S : ENDING_SIGNALS) Install(S);
  if (g.RawTaken || g.Output == TOutput::Terminal) InstallCrashHandlers();
  if (!FExitHookInstalled) {
    FExitHookInstalled = true;
    std::atexit(ExitHook);
  }
}

void DispatchSignal() {
  const int S = FPendingSignal;
  FPendingSignal = 0;
  FEnding = 1;
  if (ConsoleOnSignal) ConsoleOnSignal(S);
  FEnding = 0;
}

// Whether a watcher (or a new one on the node's socket) woke a sleep.
bool WatchWoke(const pollfd *AFds, nfds_t ACount) {
  for (nfds_t I = 0; I < ACount; ++I)
    if (AFds[I].revents) return true;
  return false;
}

// poll with the ending signals and resizes held back until the sleep itself, so one that
// comes just before it still cuts it short instead of waiting out the time-out.
int SleepPoll(pollfd *AFds, nfds_t ACount, int ATimeoutMs) {
  if (ATimeoutMs <= 0) return poll(AFds, ACount, 0);
  sigset_t Held, Old;
  sigemptyset(&Held);
  for (int S : ENDING_SIGNALS) sigaddset(&Held, S);
  sigaddset(&Held, SIGWINCH);
  sigprocmask(SIG_BLOCK, &Held, &Old);
  int R = 0;
  if (!FPendingSignal && !(FResized && g.Output == TOutput::Terminal)) {
    const timespec T{ATimeoutMs / 1000, static_cast<long>(ATimeoutMs % 1000) * 1000000L};
    R = ppoll(AFds, ACount, &T, &Old);
  }
  const int Saved = errno;
  sigprocmask(SIG_SETMASK, &Old, nullptr);
  errno = Saved;
  return R;
}

// Reads what the keyboard (standard input) has, waiting up to ATimeoutMs for it or for
// AExtraFd to become readable. Bytes that are read now may have come any time since the
// last look that found none, so only that look can time out a pending ESC.
void PollInput(int ATimeoutMs, int AExtraFd = -1) {
  KeysTick(g.LastQuiet);
  const bool Keyboard = g.InputOpen && KeysRoom() > 0;
  pollfd P[2 + WATCH_POLL_FDS];
  nfds_t Count = 0;
  if (Keyboard) P[Count++] = {STDIN_FILENO, POLLIN, 0};
  if (AExtraFd >= 0) P[Count++] = {AExtraFd, POLLIN, 0};
  // A sleep also wakes for the sysop's watchers; a look without one leaves them to Flush.
  const nfds_t Watch = ATimeoutMs > 0 ? static_cast<nfds_t>(WatchPollFds(P + Count, WATCH_POLL_FDS)) : 0;
  const int R = Count + Watch > 0 || ATimeoutMs > 0 ? SleepPoll(P, Count + Watch, ATimeoutMs) : 0;
  if (WatchWoke(P + Count, Watch)) WatchFlush(ConsoleFrame(), true);
  if (Keyboard && R > 0 && P[0].revents != 0) {
    char Buf[256];
    const ssize_t N = read(STDIN_FILENO, Buf, std::min(sizeof Buf, KeysRoom()));
    if (N > 0) {
      KeysFeed({Buf, static_cast<size_t>(N)}, Now());
      return;
    }
    // End of input: from now on no key is ever waiting.
    if (N == 0 || (errno != EINTR && errno != EAGAIN)) g.InputOpen = false;
  } else if (Keyboard && R < 0 && errno != EINTR) {
    g.InputOpen = false;
  }
  g.LastQuiet = Now();
  KeysTick(g.LastQuiet);
}

// How long ReadKey may sleep before it must look again.
int WaitMs() {
  if (!KeysPartial()) return 100;
  const uint64_t Due = KeysPendingSince() + KEYS_ESC_TIMEOUT_MS, N = Now();
  return Due > N ? static_cast<int>(std::min<uint64_t>(Due - N, 100)) : 0;
}

}  // namespace

void ConsoleInit() {
  if (g.Initialised) return;
  g.Initialised = true;
  TakeTerminal();
}

void ConsoleEnter() {
  if (!g.Initialised) ConsoleInit();
  if (FPendingSignal && !FEnding) DispatchSignal();
}

void ConsoleDetach() {
  ConsoleInit();
  if (g.Output == TOutput::Terminal) LoseTerminal();
  g.InputOpen = false;
  // The caller's bytes go out as they are: no LF turned into CR LF on the way.
  termios T{};
  if (g.RawTaken && tcgetattr(STDIN_FILENO, &T) == 0) {
    T.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcsetattr(STDIN_FILENO, TCSANOW, &T);
  }
}

bool ConsoleShown() {
  ConsoleEnter();
  return g.Output != TOutput::None;
}

void ConsoleFlush() {
  ConsoleEnter();
  Flush();
}

bool KeyPressed() {
  ConsoleEnter();
  Flush();
  if (!KeysWaiting()) PollInput(0);
  return KeysWaiting();
}

// At the end of input this waits like a keyboard nobody types on, in short sleeps that
// still notice signals and resizes; a door's own waits poll KeyPressed instead.
char ReadKey() {
  ConsoleEnter();
  Flush();
  if (!KeysWaiting() && ConsoleOnWait) ConsoleOnWait();
  bool First = true;
  while (!KeysWaiting()) {
    PollInput(First ? 0 : WaitMs());
    First = false;
    if (KeysWaiting()) break;
    ConsoleEnter();
    if (FResized) Flush();
  }
  return static_cast<char>(KeysTake());
}

void Delay(uint32_t AMilliseconds) {
  ConsoleEnter();
  if (ConsoleOnWait) ConsoleOnWait();
  Flush();
  if (g.Sleep) {
    g.Sleep(AMilliseconds);
    return;
  }
  const uint64_t End = MonotonicNs() + static_cast<uint64_t>(AMilliseconds) * 1000000u;
  for (;;) {
    const uint64_t N = MonotonicNs();
    if (N >= End) break;
    // Short steps, so a signal or a resize is acted on while the door sleeps.
    const uint64_t Step = std::min<uint64_t>(End - N, 50000000u);
    pollfd P[WATCH_POLL_FDS];
    const int Watch = WatchPollFds(P, WATCH_POLL_FDS);
    if (Watch > 0) {
      // Awake for the sysop's watchers too; a step under a millisecond is slept whole.
      SleepPoll(P, static_cast<nfds_t>(Watch), static_cast<int>((Step + 999999u) / 1000000u));
      if (WatchWoke(P, static_cast<nfds_t>(Watch))) WatchFlush(ConsoleFrame(), true);
    } else {
      timespec T{static_cast<time_t>(Step / 1000000000u), static_cast<long>(Step % 1000000000u)};
      nanosleep(&T, nullptr);
    }
    ConsoleEnter();
    if (FResized) Flush();
  }
}

void ConsoleWaitInput(int AExtraFd, uint32_t AMilliseconds) {
  ConsoleEnter();
  Flush();
  if (KeysWaiting() || AMilliseconds == 0) return;
  if (ConsoleOnWait) ConsoleOnWait();
  if (g.Sleep) {
    g.Sleep(1);
    return;
  }
  int Ms = static_cast<int>(std::min<uint32_t>(AMilliseconds, 60000));
  if (KeysPartial()) Ms = std::min(Ms, WaitMs());
  PollInput(Ms, AExtraFd);
  ConsoleEnter();
  if (FResized) Flush();
}

namespace {

// Whether two descriptors are the same open socket, pipe or file.
bool SameFile(int AFd, int AOther) {
  if (AFd == AOther) return true;
  struct stat A {}, B {};
  return fstat(AFd, &A) == 0 && fstat(AOther, &B) == 0 && A.st_dev == B.st_dev && A.st_ino == B.st_ino;
}

}  // namespace

void ConsoleKeepOff(int AFd) {
  ConsoleEnter();
  if (AFd < 0) return;
  if (g.InputOpen && SameFile(AFd, STDIN_FILENO)) {
    if (g.RawTaken) tcsetattr(STDIN_FILENO, TCSANOW, &FSavedTermios);
    g.RawTaken = false;
    FRestoreArmed = 0;
    g.InputOpen = false;
  }
  if (g.Output == TOutput::Terminal && SameFile(AFd, STDOUT_FILENO)) LoseTerminal();
}

void ConsoleCheckSignals() {
  ConsoleEnter();
  if (FResized) Flush();
}

void ConsolePushInput(std::string_view ABytes) {
  ConsoleEnter();
  const uint64_t At = Now();
  KeysTick(At);
  KeysFeed(ABytes, At);
}

void ConsoleReset() {
  ConsoleWatchClose();
  if (g.RawTaken) tcsetattr(STDIN_FILENO, TCSANOW, &FSavedTermios);
  FRestoreArmed = 0;
  FGoodbyeLen = 0;
  g = State{};
  g.Initialised = true;  // stays off the real terminal
  FPendingSignal = 0;
  FResized = 0;
  FEnding = 0;
  ConsoleOnSignal = DefaultOnSignal;
  ConsoleOnWait = nullptr;
  ConsoleScreenReset();
  KeysReset();
  RenderReset();
}

void ConsoleSetTestTerminal(int ACols, int ARows, bool AUtf8) {
  ConsoleEnter();
  if (ACols <= 0 || ARows <= 0) {
    g.Output = TOutput::None;
    return;
  }
  g.Output = TOutput::Test;
  g.Utf8 = AUtf8;
  RenderSetTerminal(ACols, ARows, AUtf8);
}

void ConsoleSetTestErase(bool AErase) { RenderSetErase(AErase); }

void ConsoleSetTestKeyboardUtf8(bool AUtf8) { KeysSetUtf8(AUtf8); }

std::string ConsoleTakeOutput() {
  std::string R;
  R.swap(g.TestOutput);
  return R;
}

std::string ConsoleGoodbyeText() {
  std::string R;
  RenderGoodbye(R);
  return R;
}

void ConsoleSetClock(uint64_t (*AMilliseconds)()) { g.Clock = AMilliseconds; }

void ConsoleSetSleep(void (*ASleep)(uint32_t AMilliseconds)) { g.Sleep = ASleep; }

void ConsoleAttachTerminal() {
  ConsoleReset();
  g.Initialised = false;
  ConsoleInit();
}
