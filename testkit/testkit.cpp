// The test kit: a board and a caller around a door under test. The caller's screen is
// this program's own copy of the kit's console, painted by the kit's ANSI interpreter.
#include "doorkit/testkit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "ansi_internal.h"
#include "console_internal.h"
#include "crt2_internal.h"
#include "doorkit/ansi.h"
#include "doorkit/stringutils.h"

namespace {

using TClock = std::chrono::steady_clock;

int MsLeft(TClock::time_point ADeadline) {
  const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - TClock::now()).count();
  return Left > 0 ? static_cast<int>(Left) : 0;
}

void CloseFd(int &AFd) {
  if (AFd >= 0) close(AFd);
  AFd = -1;
}

bool SendAll(int AFd, std::string_view AData) {
  while (!AData.empty()) {
    const ssize_t N = AFd >= 0 ? send(AFd, AData.data(), AData.size(), MSG_NOSIGNAL) : -1;
    if (N < 0 && errno == ENOTSOCK) return write(AFd, AData.data(), AData.size()) == static_cast<ssize_t>(AData.size());
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    AData.remove_prefix(static_cast<size_t>(N));
  }
  return true;
}

// Two ends of a loopback TCP connection: ABoard is the accepted one, as a listener gives it.
bool TcpPair(int &ABoard, int &ACaller) {
  const int Listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof(Addr);
  bool Ok = Listener >= 0 && bind(Listener, reinterpret_cast<sockaddr *>(&Addr), sizeof(Addr)) == 0 &&
            listen(Listener, 1) == 0 && getsockname(Listener, reinterpret_cast<sockaddr *>(&Addr), &Len) == 0;
  ACaller = Ok ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
  Ok = Ok && ACaller >= 0 && connect(ACaller, reinterpret_cast<sockaddr *>(&Addr), sizeof(Addr)) == 0;
  ABoard = Ok ? accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  if (Listener >= 0) close(Listener);
  return ABoard >= 0;
}

// The caller's bytes, telnet commands taken out, onto the screen.
void Receive(TDoorTestRun &ARun, std::string_view ABytes, bool ATelnet) {
  const std::string Show = ATelnet ? DoorTestTelnetData(ARun.TelnetState, ABytes) : std::string(ABytes);
  ARun.Received += Show;
  AnsiWrite(Show);
}

// One look at the caller and the terminal, waiting up to AMs for either.
void PumpOnce(TDoorTestRun &ARun, int AMs) {
  const bool Stdio = ARun.CallerFd < 0;
  // A closed connection stays readable: it is not looked at again.
  pollfd P[2] = {{ARun.TerminalFd, POLLIN, 0}, {ARun.CallerClosed ? -1 : ARun.CallerFd, POLLIN, 0}};
  if (poll(P, 2, AMs) <= 0) return;
  char Buf[65536];
  if (ARun.TerminalFd >= 0 && (P[0].revents & (POLLIN | POLLHUP | POLLERR))) {
    const ssize_t N = read(ARun.TerminalFd, Buf, sizeof(Buf));
    if (N > 0) {
      ARun.Terminal.append(Buf, static_cast<size_t>(N));
      if (Stdio) Receive(ARun, std::string_view(Buf, static_cast<size_t>(N)), false);
    } else if (N == 0 || errno != EINTR) {
      CloseFd(ARun.TerminalFd);  // the door and all it started are gone
    }
  }
  if (P[1].fd >= 0 && (P[1].revents & (POLLIN | POLLHUP | POLLERR))) {
    const ssize_t N = recv(ARun.CallerFd, Buf, sizeof(Buf), MSG_DONTWAIT);
    if (N > 0) Receive(ARun, std::string_view(Buf, static_cast<size_t>(N)), true);
    if (N == 0 || (N < 0 && errno != EAGAIN && errno != EINTR)) ARun.CallerClosed = true;
  }
}

bool PumpUntil(TDoorTestRun &ARun, const std::function<bool()> &APred, int ATimeoutMs) {
  const auto Deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
  while (!APred()) {
    const int Left = MsLeft(Deadline);
    if (Left <= 0) return false;
    if ((ARun.CallerFd < 0 || ARun.CallerClosed) && ARun.TerminalFd < 0) return APred();
    PumpOnce(ARun, std::min(Left, 50));
  }
  return true;
}

void Reap(TDoorTestRun &ARun, bool AWait) {
  if (ARun.Pid > 0 && waitpid(ARun.Pid, &ARun.Status, AWait ? 0 : WNOHANG) == ARun.Pid) {
    ARun.Pid = -1;
    ARun.Ended = true;
  }
}

std::string Num(int64_t AValue) { return std::to_string(AValue); }

// The caller's full name split as the formats with first and last name lines want it.
std::string FirstName(const std::string &AName) { return AName.substr(0, AName.find(' ')); }
std::string LastName(const std::string &AName) {
  const size_t Blank = AName.find(' ');
  return Blank == std::string::npos ? "" : AName.substr(Blank + 1);
}

// The lines of each format, as the boards that write it fill them (CR LF ends).
std::string DropText(const std::string &AName, const TDoorDropInfo &D) {
  const std::string Upper = UpperCase(AName);
  const bool Ansi = D.Emulation == etANSI;
  const int32_t Minutes = D.MaxSeconds / 60;
  std::vector<std::string> L;
  if (Upper == "DOOR32.SYS") {
    L = {Num(D.ComType), Num(D.ComNum), Num(D.Baud), "Test Board", Num(int64_t{D.RecPos} + 1), D.RealName, D.Alias,
         Num(D.Access), Num(Minutes), Ansi ? "1" : "0", Num(D.Node)};
  } else if (Upper == "DOOR.SYS") {
    L.assign(52, "");
    L[0] = D.ComType == 1 ? "COM" + Num(D.ComNum) + ":" : "COM0:";
    L[1] = Num(D.Baud);
    L[3] = Num(D.Node);
    L[4] = Num(D.Baud);
    L[9] = D.RealName;
    L[14] = Num(D.Access);
    L[17] = Num(D.MaxSeconds);
    L[18] = Num(Minutes);
    L[19] = Ansi ? "GR" : "NG";
    L[25] = Num(int64_t{D.RecPos} + 1);
    L[35] = D.Alias;
  } else if (Upper.starts_with("DORINFO")) {
    // No alias line: the first name is the handle.
    L = {"Test Board", "Sysop", "", D.ComType == 1 ? "COM" + Num(D.ComNum) : "COM0", Num(D.Baud) + " BAUD,N,8,1", "0",
         FirstName(D.RealName), LastName(D.RealName), "Anytown", Ansi ? "1" : "0", Num(D.Access), Num(Minutes), "-1"};
  } else if (Upper == "CHAIN.TXT") {
    L = {Num(int64_t{D.RecPos} + 1), D.Alias, D.RealName, "", "30", "M", "      0.00", "01/01/26", "80", "25",
         Num(D.Access), "0", "0", Ansi ? "1" : "0", "1", Num(D.MaxSeconds) + ".00", "gfiles", "data", "log.txt",
         Num(D.Baud), "0", "Test Board", "Sysop", "0", "0", "0", "0", "0", "0", "8N1", Num(D.Baud), "0"};
  } else if (Upper == "DOORFILE.SR") {
    L = {D.Alias, Ansi ? "1" : "0", "1", "25", Num(D.Baud), "0", Num(Minutes), D.RealName};
  } else if (Upper == "SFDOORS.DAT") {
    L = {Num(int64_t{D.RecPos} + 1), D.RealName, "", FirstName(D.RealName), Num(D.Baud), "0", Num(Minutes), "43200",
         "/bbs", Ansi ? "TRUE" : "FALSE", Num(D.Access), "0", "0", Num(Minutes), "43200", "0", "FALSE", "FALSE",
         "FALSE", Num(D.Baud), "FALSE", "1", "1", Num(D.Node)};
  } else if (Upper == "CALLINFO.BBS") {
    L = {D.RealName, "0", "Anytown", Num(D.Access), Num(Minutes), Ansi ? "COLOR" : "MONO", "", Num(int64_t{D.RecPos} + 1),
         "0", "12:00", "12:00 01/01/26", "A", "0", "0", "0", "0", "555-0100", "01/01/26 12:00", "EXPERT", "Z",
         "01/01/26", "1", "25", "0", "0", "0", "8", "REMOTE", "COM0", "01/01/90", Num(D.Baud), "TRUE",
         "Normal Connection", "01/01/26 12:00", Num(D.Node), "1"};
  } else if (Upper == "TRIBBS.SYS") {
    L = {Num(int64_t{D.RecPos} + 1), D.RealName, "", Num(D.Access), "Y", Ansi ? "Y" : "N", Num(Minutes), "555-0100",
         "Anytown", "01/01/90", Num(D.Node), "1", Num(D.Baud), "0", "Y", "Y", "Test Board", "Sysop", D.Alias};
  } else if (Upper.starts_with("INFO.")) {
    L = {Num(D.RecPos), Ansi ? "3" : "0", "", "FAIRY NO", Num(Minutes), D.Alias, FirstName(D.RealName),
         LastName(D.RealName), Num(D.ComNum), Num(D.Baud), "", D.ComType == 2 ? "TELNET" : D.ComType == 0 ? "LOCAL" : "COM",
         "", ""};
  } else {
    return {};
  }
  std::string Text;
  for (const std::string &Line : L) Text += Line + "\r\n";
  return Text;
}

}  // namespace

std::string DoorTestTelnetData(int &AState, std::string_view ABytes) {
  std::string Show;
  for (char Ch : ABytes) {
    const uint8_t B = static_cast<uint8_t>(Ch);
    switch (AState) {
      case 0: if (B == 0xFF) AState = 1; else Show += Ch; break;
      case 1:  // after IAC
        if (B == 0xFF) { Show += Ch; AState = 0; }
        else if (B == 0xFA) AState = 3;  // SB
        else if (B >= 0xFB) AState = 2;  // WILL, WONT, DO, DONT
        else AState = 0;
        break;
      case 2: AState = 0; break;  // the option
      case 3: if (B == 0xFF) AState = 4; break;
      default: AState = B == 0xF0 ? 0 : 3; break;  // SE ends the subnegotiation
    }
  }
  return Show;
}

std::string DoorTestWriteDropFile(const std::string &AFolder, const std::string &AName, const TDoorDropInfo &AInfo) {
  const std::string Text = DropText(AName, AInfo);
  if (Text.empty()) return {};
  const std::string Path = AFolder + "/" + AName;
  FILE *F = std::fopen(Path.c_str(), "wb");
  if (!F) return {};
  const bool Ok = std::fwrite(Text.data(), 1, Text.size(), F) == Text.size();
  return std::fclose(F) == 0 && Ok ? Path : std::string();
}

bool DoorTestStart(TDoorTestRun &ARun, const TDoorTestOptions &AOptions) {
  DoorTestStop(ARun);
  ARun.Status = -1;
  ARun.Ended = false;
  ARun.CallerClosed = false;
  ARun.DropFile.clear();
  ARun.Received.clear();
  ARun.Terminal.clear();
  ARun.TelnetState = 0;
  // A fresh caller's screen: the kit's console in memory, off this program's terminal.
  ConsoleReset();
  AnsiReset();
  Crt2Reset();

  const char *Base = std::getenv("TMPDIR");
  std::string Folder = std::string(Base && *Base ? Base : "/tmp") + "/doortest-XXXXXX";
  if (mkdtemp(Folder.data()) == nullptr) return false;
  ARun.NodeFolder = Folder;

  // The door starts in its node's folder: a program named relative to ours must still be found.
  std::error_code Ignored;
  const std::filesystem::path Program = std::filesystem::absolute(AOptions.Program, Ignored);
  std::vector<std::string> Args = {Program.empty() ? AOptions.Program : Program.string()};
  TDoorDropInfo Info = AOptions.Caller;
  int DoorFd = -1;
  if (AOptions.Way != twStdio) {
    int Pair[2] = {-1, -1};
    const bool Ok = AOptions.Tcp ? TcpPair(Pair[0], Pair[1]) : socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Pair) == 0;
    if (!Ok) return false;
    ARun.BoardFd = DoorFd = Pair[0];
    ARun.CallerFd = Pair[1];
    Info.ComType = 2;
    Info.ComNum = DoorFd;
  } else {
    Info.ComType = 0;
  }
  if (AOptions.Way == twCommandLine) {
    Args.push_back("-N" + Num(Info.Node > 0 ? Info.Node : 1));
    Args.push_back("-S" + Num(DoorFd));
  } else {
    ARun.DropFile = DoorTestWriteDropFile(Folder, AOptions.DropFileName, Info);
    if (ARun.DropFile.empty()) return false;
    Args.push_back("-D" + ARun.DropFile);
    if (AOptions.Way == twStdio) Args.push_back("-X");
  }
  for (const std::string &A : AOptions.Args) Args.push_back(A);

  // The door's terminal: the sysop's console, 80x25, and in stdio mode the caller's line.
  winsize Size{};
  Size.ws_col = 80;
  Size.ws_row = 25;
  int Master = -1, Slave = -1;
  if (openpty(&Master, &Slave, nullptr, nullptr, &Size) != 0) return false;
  fcntl(Master, F_SETFD, FD_CLOEXEC);
  const std::string StartFolder = AOptions.Folder.empty() ? Folder : AOptions.Folder;
  ARun.Pid = fork();
  if (ARun.Pid < 0) {
    close(Master);
    close(Slave);
    return false;
  }
  if (ARun.Pid == 0) {
    setsid();
    ioctl(Slave, TIOCSCTTY, 0);
    dup2(Slave, 0);
    dup2(Slave, 1);
    dup2(Slave, 2);
    if (Slave > 2) close(Slave);
    if (DoorFd >= 0) fcntl(DoorFd, F_SETFD, 0);  // inherited, as a board hands it over
    // CP437 bytes on the terminal, as boards start stdio doors.
    setenv("LC_ALL", "C", 1);
    setenv("TERM", "ansi", 1);
    if (chdir(StartFolder.c_str()) != 0) _exit(126);
    std::vector<char *> Argv;
    for (const std::string &A : Args) Argv.push_back(const_cast<char *>(A.c_str()));
    Argv.push_back(nullptr);
    execv(Argv[0], Argv.data());
    _exit(127);
  }
  close(Slave);
  ARun.TerminalFd = Master;
  return true;
}

bool DoorTestType(TDoorTestRun &ARun, std::string_view AKeys) {
  return SendAll(ARun.CallerFd >= 0 ? ARun.CallerFd : ARun.TerminalFd, AKeys);
}

bool DoorTestTypeSysop(TDoorTestRun &ARun, std::string_view AKeys) { return SendAll(ARun.TerminalFd, AKeys); }

void DoorTestPump(TDoorTestRun &ARun, int AMilliseconds) {
  PumpUntil(ARun, [] { return false; }, AMilliseconds);
}

bool DoorTestShows(TDoorTestRun &ARun, int AY, int AX, std::string_view AText, int ATimeoutMs) {
  return PumpUntil(ARun, [&] { return DoorTestRow(AY).compare(static_cast<size_t>(AX - 1), AText.size(), AText) == 0; },
                   ATimeoutMs);
}

bool DoorTestSaw(TDoorTestRun &ARun, std::string_view AText, int ATimeoutMs) {
  return PumpUntil(ARun, [&] { return ARun.Received.find(AText) != std::string::npos; }, ATimeoutMs);
}

TDoorTestCell DoorTestCell(int AX, int AY) {
  const TConsoleCell C = ConsoleCell(AX, AY);
  return {C.Ch, C.Attr};
}

std::string DoorTestRow(int AY) { return ConsoleRowText(AY); }
int DoorTestCursorX() { return ConsoleCursorX(); }
int DoorTestCursorY() { return ConsoleCursorY(); }

bool DoorTestWait(TDoorTestRun &ARun, int ATimeoutMs) {
  const auto Deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
  for (;;) {
    Reap(ARun, false);
    if (ARun.Ended) break;
    if (MsLeft(Deadline) <= 0) return false;
    PumpOnce(ARun, 20);
  }
  // What it sent last, bounded in case something it started still holds the terminal.
  for (int I = 0; I < 10 && (ARun.TerminalFd >= 0 || (ARun.CallerFd >= 0 && !ARun.CallerClosed)); I++) {
    PumpOnce(ARun, 20);
  }
  return true;
}

int DoorTestExitCode(const TDoorTestRun &ARun) {
  return ARun.Ended && WIFEXITED(ARun.Status) ? WEXITSTATUS(ARun.Status) : -1;
}

bool DoorTestCallerConnected(TDoorTestRun &ARun) {
  if (ARun.CallerFd < 0) return true;
  if (ARun.CallerClosed) return false;
  // The board says something on its own descriptor; the caller must get it.
  static constexpr char PROBE[] = "\r\n[back at the board]\r\n";
  if (!SendAll(ARun.BoardFd, PROBE)) return false;
  return DoorTestSaw(ARun, PROBE, 5000);
}

void DoorTestStop(TDoorTestRun &ARun) {
  if (ARun.Pid > 0) {
    kill(-ARun.Pid, SIGKILL);  // the door and whatever it started: a session of their own
    kill(ARun.Pid, SIGKILL);   // in case it had not made that session yet
    Reap(ARun, true);
  }
  CloseFd(ARun.CallerFd);
  CloseFd(ARun.BoardFd);
  CloseFd(ARun.TerminalFd);
  if (!ARun.NodeFolder.empty()) {
    std::error_code Ignored;
    std::filesystem::remove_all(ARun.NodeFolder, Ignored);
    ARun.NodeFolder.clear();
  }
}

TDoorTestRun::~TDoorTestRun() { DoorTestStop(*this); }
