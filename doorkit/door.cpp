// The door session: its records, start-up from the command line or a drop file, the
// end-of-program tidy-up, and the login and usage screens.
#include "doorkit/door.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "doorkit/comm.h"
#include "doorkit/console.h"
#include "console_watch.h"
#include "door_internal.h"
#include "door_private.h"
#include "doorkit/dropfiles.h"
#include "doorkit/stringutils.h"
#include "doorkit/videoutils.h"
#include "doorkit/version.h"

TDoorDropInfo DoorDropInfo;
TDoorLastKey DoorLastKey;
int32_t DoorLiteBarIndex = 0;
std::vector<std::string> DoorLiteBarOptions;
TDoorMOREPrompts DoorMOREPrompts;
std::string DoorProgramNameAndVersion = DOORKIT_NAME " v" DOORKIT_VERSION;
TDoorSession DoorSession;

void (*DoorOnCLP)(char AKey, const std::string &AValue) = nullptr;
void (*DoorOnHangup)() = door_private::DefaultOnHangup;
void (*DoorOnLocalLogin)() = door_private::DefaultOnLocalLogin;
void (*DoorOnStatusBar)() = door_private::DefaultOnStatusBar;
bool (*DoorOnSysopKey)(char AKey) = nullptr;
void (*DoorOnTimeOut)() = door_private::DefaultOnTimeOut;
void (*DoorOnTimeOutWarning)(uint8_t AMinutes) = nullptr;
void (*DoorOnTimeUp)() = door_private::DefaultOnTimeUp;
void (*DoorOnTimeUpWarning)(uint8_t AMinutes) = nullptr;
void (*DoorOnUsage)() = door_private::DefaultOnUsage;

namespace door_private {
State g;
}

namespace {

using door_private::g;

struct EndState {
  bool Ending = false;  // on the way out (final pause, exit hooks): no second end
};
EndState gEnd;

bool FileExists(const std::string &AName) {
  struct stat st{};
  return stat(AName.c_str(), &st) == 0;
}

std::string FileNamePart(const char *APath) {
  if (!APath) return {};
  std::string path(APath);
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Start-up's own words, written before the link is in use: the console draws them on a
// terminal (the sysop's, or a stdio caller's pty). Where standard output is no terminal
// (a pipe to the board, a file, a log) they go out there as plain lines, so they are not
// lost: the caller of a stdio door on a pipe reads them, "-? > file" keeps them.
void SayLines(const std::vector<std::string> &ALines) {
  std::string Text;
  for (const std::string &Line : ALines) Text += Line + "\r\n";
  ClrScr();
  ConsoleWrite(Text);
  if (ConsoleShown()) return;
  signal(SIGPIPE, SIG_IGN);  // a reader that has gone: the door still ends with 0
  size_t Done = 0;
  while (Done < Text.size()) {
    const ssize_t N = write(STDOUT_FILENO, Text.data() + Done, Text.size() - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) break;
    Done += static_cast<size_t>(N);
  }
}

[[noreturn]] void FailStartup(const std::string &ALine1, const std::string &ALine2) {
  std::vector<std::string> Lines{"", ALine1};
  if (!ALine2.empty()) Lines.push_back(ALine2);
  Lines.push_back("");
  SayLines(Lines);
  door_private::EndProgram(true);
}

// How long start-up waits for the caller's terminal to answer its questions.
constexpr double PROBE_WAIT_MS = 1000;

struct TReport {
  int Row, Col;
};

// Takes a cursor-position report (ESC [ row ; column R) out of the caller's bytes. Keys the
// caller types while the door asks are not kept.
void TakeReportByte(char AC, std::string &APending, std::vector<TReport> &AGot) {
  if (AC == '\x1b') {
    APending = "\x1b";
    return;
  }
  if (APending.empty()) return;
  if (APending.size() == 1) {
    if (AC == '[') APending += AC; else APending.clear();
    return;
  }
  if ((AC >= '0' && AC <= '9') || AC == ';') {
    if (APending.size() < 16) APending += AC; else APending.clear();
    return;
  }
  if (AC == 'R') {
    const size_t Semi = APending.find(';');
    if (Semi != std::string::npos) {
      const int32_t Row = StrToIntDef(APending.substr(2, Semi - 2), -1);
      const int32_t Col = StrToIntDef(APending.substr(Semi + 1), -1);
      if (Row > 0 && Col > 0) AGot.push_back({Row, Col});
    }
  }
  APending.clear();
}

// Asks the caller's terminal once, at start-up, and waits up to a second for the answers:
// which character set it shows (a two-byte UTF-8 character between two cursor-position
// reports moves one cell in UTF-8 and two in CP437; no answer keeps the set as it is), and
// how big its window is (the cursor sent to the far corner and reported).
void ProbeCaller(bool ACharset, bool ASize) {
  std::string Ask;
  if (ACharset) Ask += "\r\x1b[6n\xC3\xA9\x1b[6n";
  if (ASize) Ask += "\x1b[s\x1b[999;999H\x1b[6n\x1b[u";
  CommWriteRaw(Ask);
  CommFlushOutBuffer();
  const size_t Want = (ACharset ? 2 : 0) + (ASize ? 1 : 0);
  std::vector<TReport> Got;
  std::string Pending;
  const TDateTime End = door_private::Now() + PROBE_WAIT_MS / 86400000.0;
  while (Got.size() < Want) {
    while (Got.size() < Want && CommCharAvail()) TakeReportByte(CommReadChar(), Pending, Got);
    const double Left = (End - door_private::Now()) * 86400000.0;
    if (Got.size() >= Want || !(Left > 0)) break;
    ConsoleWaitInput(CommWaitHandle(), static_cast<uint32_t>(Left) + 1);
  }
  if (ACharset) {
    if (Got.size() >= 2 && Got[0].Row == Got[1].Row) {
      if (Got[1].Col - Got[0].Col == 1) CommSetUtf8(true);
      if (Got[1].Col - Got[0].Col == 2) CommSetUtf8(false);
    }
    CommWriteRaw("\r  \r");  // the probe's character goes again
  }
  if (ASize && Got.size() == Want) {
    g.ProbedCols = static_cast<uint16_t>(std::min(Got.back().Col, 0xFFFF));
    g.ProbedRows = static_cast<uint16_t>(std::min(Got.back().Row, 0xFFFF));
  }
}

// Runs once at the end of a link session, however the program ends: puts both screens in
// a sane state and lets go of the caller without hanging up.
void NewExitProc() {
  gEnd.Ending = true;
  if (!g.ExitHookArmed) return;
  g.ExitHookArmed = false;
  g.DisplayingSixel = false;  // an end from inside a picture still tidies the local screen
  DoorTextAttr(7);
  DoorCursorDown(255);
  DoorCursorLeft(255);
  DoorClose(false);
  // The board's own screen follows on the sysop's terminal: no caller's name and time left
  // standing at its foot.
  FastWrite(std::string(CONSOLE_COLS, ' '), 1, CONSOLE_ROWS, 0x07);
}

const char *StandardStreamName(int32_t AHandle) {
  switch (AHandle) {
    case 0: return "input";
    case 1: return "output";
    default: return "error";
  }
}

// A link needs the caller's socket. A serial port number (the kit has no serial lines) is
// never taken as a descriptor of the same number when that is one of the door's own
// standard streams: the telnet announce and the screen would go into a journal.
void CheckLinkHandle() {
  const int32_t handle = DoorDropInfo.ComNum;
  std::string problem;
  if (DoorDropInfo.ComType == 1 && handle >= 0 && handle <= 2) {
    problem = "  COM" + std::to_string(handle) + " is a serial port; descriptor " + std::to_string(handle) +
              " is the door's own standard " + StandardStreamName(handle) + ".";
  } else if (const char *why = CommHandleProblem(handle)) {
    problem = "  Descriptor " + std::to_string(handle) + " " + why + ": the door needs the caller's socket.";
  }
  if (!problem.empty()) FailStartup("  Invalid comm number: " + std::to_string(handle), problem);
}

// The ending signals of a link session, acted on in the door's normal flow. The board hangs
// a caller up with SIGHUP (and follows with SIGTERM, then SIGKILL, seconds later); the sysop
// has Ctrl+C. Neither may leave the caller's connection shut down, nor wait on a caller who
// takes nothing.
void OnSignal(int ASignal) {
  if (gEnd.Ending) {
    // Already leaving: only stop waiting on the caller, so the end is not held up.
    CommLoseCarrier();
    return;
  }
  if (ASignal == SIGHUP && !g.CallerOnStdio) {
    CommLoseCarrier();
    if (DoorOnHangup) DoorOnHangup();
    door_private::EndProgram(false);
  }
  // A caller who reads gets the exit hook's tidy-up; one who does not holds the end briefly.
  CommSetSendTimeout(500);
  gEnd.Ending = true;
  std::exit(0);
}

// A send waiting on a full window still lets the door act on signals.
void OnSendWait() { ConsoleCheckSignals(); }

// What a stdio caller was sent last is in the link's out-buffer until it goes out.
void FlushAtExit() {
  if (!g.CallerOnStdio) return;
  CommSetLean(false);  // what the lean wire holds back, the full stream's colour too
  CommFlushOutBuffer();
}

// A stdio door: the caller's stream is on the standard handles, and the console keeps its
// screen without drawing it there.
void StartStdioCaller() {
  ConsoleDetach();
  CommOpenStdio();
  g.CallerOnStdio = true;
  CommOnSendWait = OnSendWait;
  ConsoleOnSignal = OnSignal;
  ConsoleOnWait = CommFlushOutBuffer;
  // After the console's own exit handler: this one runs first, before the terminal is
  // given back.
  static bool registered = false;
  if (!registered) {
    registered = true;
    std::atexit(FlushAtExit);
  }
}

void InstallExitProc() {
  // The console restores the sysop's terminal from its own exit handler, registered at its
  // first use; handlers run in reverse order, so make sure that one is in place before ours,
  // and ours runs (and paints) first.
  ConsoleInit();
  static bool registered = false;
  if (!registered) {
    registered = true;
    std::atexit(NewExitProc);
  }
  g.ExitHookArmed = true;
}

}  // namespace

namespace door_private {

void EndProgram(bool APause) {
  gEnd.Ending = true;
  if (APause) Delay(2500);
  std::exit(0);
}

void DefaultOnLocalLogin() {
  DoorTextAttr(0x07);
  DoorClrScr();
  DoorWriteLn();
  DoorWriteLn();
  DoorWriteLn("  |1F  LOCAL LOGIN - FOR NODE " + std::to_string(DoorDropInfo.Node) + "|07");
  DoorWriteLn();
  DoorWriteLn();
  DoorWriteLn("  |09Run " + g.ProgramFileName + " /? for command-line usage help|07");
  DoorWriteLn();
  std::string name;
  do {
    DoorWrite("  |0AName or handle |0F:|07 ");
    name = DoorInput("SYSOP", "qwertyuiopasdfghjklzxcvbnmQWERTYUIOPASDFGHJKLZXCVBNM ", 0, 40, 40,
                     0x1F);
  } while (name.empty());
  DoorDropInfo.RealName = name;
  DoorDropInfo.Alias = name;
}

void DefaultOnUsage() {
  const std::string &n = g.ProgramFileName;
  const std::string lines[] = {
      "",
      " USAGE: " + n + " <PARAMETERS>",
      "",
      " Load settings from a dropfile (DOOR32.SYS, DOOR.SYS, DORINFO*.DEF or INFO.*)",
      "  -D         PATH\\FILENAME OF DROPFILE",
      " Example: " + n + " -D/sbbs/node1/DOOR32.SYS",
      "",
      " Pass settings on command-line",
      "  -N         NODE NUMBER",
      "  -S         SOCKET HANDLE",
      " Example: " + n + " -N1 -S1000",
      "",
      " Run in local mode",
      "  -L         LOCAL MODE",
      " Example: " + n + " -L",
      "",
      " Optional parameters",
      "  -X         DISABLE COMM ROUTINES (STDIO MODE)",
      // The kit's own switches from here; the screen holds 25 lines with its USAGE line
      // (the first, blank one scrolls away): the drop files the README lists, not here.
      "  -U         UTF-8 CALLER (CP437 OTHERWISE)",
      "  -A         ASK THE CALLER'S TERMINAL: UTF-8 OR CP437",
      "  -W         ASK THE CALLER'S WINDOW SIZE",
      "  -C         CHECK: SHOW WHAT THE DOOR GOT AND WOULD DO, THEN EXIT",
      "  -H         THIS SCREEN (ALSO -? AND --HELP)",
      "  -P         NO SYSOP'S VIEW (DOORWATCH CANNOT WATCH THIS NODE)",
      "  -E         LEAN WIRE: SEND THE CALLER ONLY WHAT CHANGED (SLOW LINKS)",
  };
  SayLines({std::begin(lines), std::end(lines)});
  EndProgram(false);
}

const TDropFormat *FindDropFormat(const std::string &AName) {
  static const TDropFormat kFormats[] = {
      // Told by the file's own name, so that a folder named like one cannot pick it.
      {"CHAIN.TXT", ReadChainTxt, true},       {"DOORFILE.SR", ReadDoorFileSr, true},
      {"SFDOORS.DAT", ReadSfDoors, true},      {"CALLINFO.BBS", ReadCallInfo, true},
      {"TRIBBS.SYS", ReadTriBbs, true},
      {"DOOR32.SYS", ReadDoor32, false},       {"DOOR.SYS", ReadDoorSys, false},
      {"DORINFO", ReadDorInfo, false},         {"INFO.", ReadLordInfo, false},
  };
  const std::string upper = UpperCase(AName);
  const size_t slash = AName.find_last_of("/\\");  // a DOS board's path may come as it is
  const std::string file = UpperCase(slash == std::string::npos ? AName : AName.substr(slash + 1));
  for (const TDropFormat &f : kFormats) {
    if (f.FileNameOnly ? file == f.Name : upper.find(f.Name) != std::string::npos) return &f;
  }
  return nullptr;
}

}  // namespace door_private

void DoorStartup(int argc, char **argv) {
  g.ProgramFileName = FileNamePart(argc > 0 && argv ? argv[0] : nullptr);

  door_private::TStartArgs start;
  std::string &dropFile = start.DropFile;
  bool &forceStdio = start.ForceStdio;
  bool &local = start.Local;
  int32_t &node = start.Node;
  int32_t &socket = start.Socket;
  bool check = false;
  bool lean = false;
  bool watch = true;
  bool utf8 = false;
  bool probeCharset = false;
  bool askWindow = false;

  for (int i = 1; argv && i < argc; i++) {
    if (!argv[i]) continue;
    std::string arg(argv[i]);
    if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/')) continue;
    if (UpperCase(arg) == "--HELP") arg = "-H";
    char key = arg[1];
    if (key >= 'a' && key <= 'z') key = static_cast<char>(key - 'a' + 'A');
    std::string value = arg.substr(2);
    switch (key) {
      case '?':
      case 'H':
        local = false;
        break;
      case 'D':
        local = false;
        dropFile = value;
        break;
      case 'E':
        lean = true;
        break;
      case 'N':
        node = StrToIntDef(value, 0);
        break;
      case 'S':
        local = false;
        socket = StrToIntDef(value, -1);
        break;
      case 'X':
        forceStdio = true;
        break;
      case 'C':
        check = true;
        break;
      case 'U':
        utf8 = true;
        break;
      case 'A':
        probeCharset = true;
        break;
      case 'W':
        askWindow = true;
        break;
      case 'P':
        watch = false;
        break;
      default:
        if (DoorOnCLP) DoorOnCLP(key, value);
        break;
    }
  }

  if (check) door_private::SysopCheck(start, argc, argv);

  if (local) {
    DoorDropInfo.Node = node;
    g.Stdio = true;
    if (DoorOnLocalLogin) {
      DoorOnLocalLogin();
      DoorClrScr();
    }
  } else if (socket >= 0 && node > 0) {
    DoorDropInfo.ComNum = socket;
    DoorDropInfo.ComType = 2;
    DoorDropInfo.Node = node;
    g.Stdio = false;
  } else if (!dropFile.empty()) {
    const door_private::TDropFormat *format =
        FileExists(dropFile) ? door_private::FindDropFormat(dropFile) : nullptr;
    if (!format) FailStartup("  Drop File Does Not Exist Or Is Not Supported:", "  " + dropFile);
    format->Read(dropFile);
    switch (DoorDropInfo.ComType) {
      case 0:
        g.Stdio = true;
        break;
      case 1:
      case 2:
        if (forceStdio) {
          g.Stdio = true;
        } else if (DoorDropInfo.ComNum >= 0) {
          g.Stdio = false;
        } else {
          FailStartup("  Invalid comm number: " + std::to_string(DoorDropInfo.ComNum), "");
        }
        break;
      default:
        break;  // a connection the kit does not know: stdio
    }
  } else {
    if (DoorOnUsage) DoorOnUsage();
    door_private::EndProgram(false);
  }

  DoorLastKey.Time = door_private::Now();
  DoorSession.TimeOn = door_private::Now();
  if (local) return;
  // The sysop's view of the node, wherever the sysop is; opened before the end-of-session
  // tidy-up is installed, so that the watchers see that tidy-up too.
  if (watch) ConsoleWatchOpen(DoorDropInfo.Node, door_private::WatchInfo);
  CommSetUtf8(utf8);
  if (g.Stdio) {
    StartStdioCaller();
    if (probeCharset || askWindow) ProbeCaller(probeCharset, askWindow);
    CommSetLean(lean);  // after the probe, whose bytes are no screen of the door's
    return;
  }

  CheckLinkHandle();
  DoorOpenComm();
  if (askWindow) CommWriteRaw(std::string_view("\xFF\xFD\x1F", 3));  // IAC DO NAWS
  CommOnSendWait = OnSendWait;
  ConsoleOnSignal = OnSignal;
  ConsoleOnWait = CommFlushOutBuffer;  // a program that holds its output back sends it before sleeping
  InstallExitProc();
  if (probeCharset) ProbeCaller(true, false);
  CommSetLean(lean);
  DoorSession.Events = true;
  DoorSession.EventsTime = 0;  // the first poll acts at once
  DoorClrScr();
  Window(1, 1, 80, 24);  // row 25 is the status bar's
}

void DoorShutdown() {
  DoorClose(false);
  DoorLiteBarOptions.clear();
  DoorLiteBarOptions.shrink_to_fit();
}

bool DoorOpenComm() {
  if (g.Stdio) return true;
  CommOpen(DoorDropInfo.ComNum);
  // Started inetd-style, the caller's socket is standard input or output too: the sysop's
  // keyboard and screen are not there.
  ConsoleKeepOff(DoorDropInfo.ComNum);
  return CommCarrier();
}

bool DoorCarrier() { return g.Stdio || CommCarrier(); }

void DoorClose(bool ADisconnect) {
  if (door_private::CallerLinked()) CommClose(ADisconnect);
}

bool DoorStdio() { return g.Stdio; }

bool DoorUtf8() { return door_private::CallerLinked() && CommUtf8(); }

namespace {

// The caller's window: their last telnet report, what their terminal answered the door's
// question, or the size of the pty a stdio door runs on; 0 x 0 when nothing is known.
void WindowSize(int32_t &ACols, int32_t &ARows) {
  ACols = ARows = 0;
  if (!door_private::CallerLinked()) return;
  uint16_t Cols, Rows;
  CommWindowSize(Cols, Rows);
  if (Cols == 0 || Rows == 0) {
    Cols = g.ProbedCols;
    Rows = g.ProbedRows;
  }
  winsize W{};
  if ((Cols == 0 || Rows == 0) && g.CallerOnStdio && ioctl(STDOUT_FILENO, TIOCGWINSZ, &W) == 0) {
    Cols = W.ws_col;
    Rows = W.ws_row;
  }
  if (Cols == 0 || Rows == 0) return;
  ACols = Cols;
  ARows = Rows;
}

}  // namespace

int32_t DoorWindowColumns() {
  int32_t Cols, Rows;
  WindowSize(Cols, Rows);
  return Cols;
}

int32_t DoorWindowRows() {
  int32_t Cols, Rows;
  WindowSize(Cols, Rows);
  return Rows;
}

void DoorReset() {
  DoorDropInfo = TDoorDropInfo{};
  DoorLastKey = TDoorLastKey{};
  DoorLiteBarIndex = 0;
  DoorLiteBarOptions.clear();
  DoorMOREPrompts = TDoorMOREPrompts{};
  DoorProgramNameAndVersion = DOORKIT_NAME " v" DOORKIT_VERSION;
  DoorSession = TDoorSession{};
  DoorOnCLP = nullptr;
  DoorOnHangup = door_private::DefaultOnHangup;
  DoorOnLocalLogin = door_private::DefaultOnLocalLogin;
  DoorOnStatusBar = door_private::DefaultOnStatusBar;
  DoorOnSysopKey = nullptr;
  DoorOnTimeOut = door_private::DefaultOnTimeOut;
  DoorOnTimeOutWarning = nullptr;
  DoorOnTimeUp = door_private::DefaultOnTimeUp;
  DoorOnTimeUpWarning = nullptr;
  DoorOnUsage = door_private::DefaultOnUsage;
  g = door_private::State{};
  gEnd = EndState{};
  door_private::ResetKeys();
  door_private::ResetClock();
}
