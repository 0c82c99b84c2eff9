// The door session: its records, start-up from the command line or a drop file, the
// end-of-program tidy-up, and the login and usage screens.
#include "doorkit/door.h"

#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "doorkit/comm.h"
#include "doorkit/console.h"
#include "console_watch.h"
#include "door_internal.h"
#include "door_private.h"
#include "doorkit/dropfiles.h"
#include "doorkit/stringutils.h"

TDoorDropInfo DoorDropInfo;
TDoorLastKey DoorLastKey;
int32_t DoorLiteBarIndex = 0;
std::vector<std::string> DoorLiteBarOptions;
TDoorMOREPrompts DoorMOREPrompts;
std::string DoorProgramNameAndVersion = "Zarvex v13.09.02";
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

// Start-up failures are told to the sysop only: the link is not in use yet.
[[noreturn]] void FailStartup(const std::string &ALine1, const std::string &ALine2) {
  ClrScr();
  ConsoleWrite("\r\n");
  ConsoleWrite(ALine1 + "\r\n");
  if (!ALine2.empty()) ConsoleWrite(ALine2 + "\r\n");
  ConsoleWrite("\r\n");
  door_private::EndProgram(true);
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
  if (ASignal == SIGHUP) {
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
      " Example: " + n + " -DC:\\BBS\\NODE1\\DOOR32.SYS",
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
      "",
      "  -P         NO SYSOP'S VIEW (DOORWATCH CANNOT WATCH THIS NODE)",
      "",
  };
  ClrScr();
  for (const std::string &line : lines) ConsoleWrite(line + "\r\n");
  EndProgram(false);
}

}  // namespace door_private

void DoorStartup(int argc, char **argv) {
  g.ProgramFileName = FileNamePart(argc > 0 && argv ? argv[0] : nullptr);

  std::string dropFile;
  bool forceStdio = false;
  bool local = true;
  bool watch = true;
  int32_t node = 0;
  int32_t socket = -99;

  for (int i = 1; argv && i < argc; i++) {
    if (!argv[i]) continue;
    std::string arg(argv[i]);
    if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/')) continue;
    char key = arg[1];
    if (key >= 'a' && key <= 'z') key = static_cast<char>(key - 'a' + 'A');
    std::string value = arg.substr(2);
    switch (key) {
      case '?':
        local = false;
        break;
      case 'D':
        local = false;
        dropFile = value;
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
      case 'P':
        watch = false;
        break;
      default:
        if (DoorOnCLP) DoorOnCLP(key, value);
        break;
    }
  }

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
    std::string upper = UpperCase(dropFile);
    bool exists = FileExists(dropFile);
    if (exists && upper.find("DOOR32.SYS") != std::string::npos) {
      ReadDoor32(dropFile);
    } else if (exists && upper.find("DOOR.SYS") != std::string::npos) {
      ReadDoorSys(dropFile);
    } else if (exists && upper.find("DORINFO") != std::string::npos) {
      ReadDorInfo(dropFile);
    } else if (exists && upper.find("INFO.") != std::string::npos) {
      ReadLordInfo(dropFile);
    } else {
      FailStartup("  Drop File Does Not Exist Or Is Not Supported:", "  " + dropFile);
    }
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
  // The sysop's view of the node, wherever the sysop is; opened before the end-of-session
  // tidy-up is installed, so that the watchers see that tidy-up too.
  if (watch && !local) ConsoleWatchOpen(DoorDropInfo.Node, door_private::WatchInfo);
  if (g.Stdio) return;

  DoorOpenComm();
  CommOnSendWait = OnSendWait;
  ConsoleOnSignal = OnSignal;
  ConsoleOnWait = CommFlushOutBuffer;  // a program that holds its output back sends it before sleeping
  InstallExitProc();
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
  return CommCarrier();
}

bool DoorCarrier() { return g.Stdio || CommCarrier(); }

void DoorClose(bool ADisconnect) {
  if (!g.Stdio) CommClose(ADisconnect);
}

bool DoorStdio() { return g.Stdio; }

void DoorReset() {
  DoorDropInfo = TDoorDropInfo{};
  DoorLastKey = TDoorLastKey{};
  DoorLiteBarIndex = 0;
  DoorLiteBarOptions.clear();
  DoorMOREPrompts = TDoorMOREPrompts{};
  DoorProgramNameAndVersion = "Zarvex v13.09.02";
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
  door_private::ResetClock();
}
