// The test kit: runs a door the way a board does, for a door writer's own tests (GoogleTest
// or plain C++; it needs neither). A run writes the drop file for you (any format the kit
// reads), puts the caller on a loopback socket (-N -S or a drop file naming it) or on the
// door's terminal (stdio mode), and gives the door a terminal of its own as the sysop's
// console. The test types as the caller and as the sysop, reads the caller's screen as
// 80x25 cells with colours (painted by the kit's own ANSI interpreter from the bytes the
// caller gets), waits for text with a time-out, and after the end sees the exit code and
// whether the caller is still connected to the board.
//
// One run at a time: the caller's screen lives in the test program's own copy of the kit's
// console, so a test program does not call DoorStartup itself. Every wait reads on, so the
// door never blocks on a full socket or terminal.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "doorkit/door.h"

// How the board hands the caller over.
enum TDoorTestWay : int32_t {
  twDropFile = 0,     // a drop file (DropFileName) names the caller's socket, -D<file>
  twCommandLine = 1,  // -N<node> -S<socket>, no drop file
  twStdio = 2,        // the caller is on the door's terminal; the drop file says local (or -X)
};

struct TDoorTestOptions {
  std::string Program;            // the door's binary
  std::vector<std::string> Args;  // switches of the door's own, after the board's
  TDoorTestWay Way = twDropFile;
  // The format, by its file name as a board writes it: DOOR32.SYS, DOOR.SYS, DORINFO1.DEF,
  // INFO.1, CHAIN.TXT, DOORFILE.SR, SFDOORS.DAT, CALLINFO.BBS, TRIBBS.SYS. Only DOOR32.SYS
  // and INFO.* can name a socket; with twDropFile any other format runs in stdio mode.
  std::string DropFileName = "DOOR32.SYS";
  // What the drop file tells the door (ComType and ComNum are filled in by the run).
  TDoorDropInfo Caller;
  std::string Folder;  // where the door starts; empty: the node's fresh folder
  bool Tcp = false;    // loopback TCP (as a board's listener gives it) instead of a socketpair
};

struct TDoorTestCell {
  uint8_t Ch;    // the CP437 byte
  uint8_t Attr;  // PC attribute: foreground bits 0-3, background bits 4-6, blink bit 7
};

// One door run. Set up by DoorTestStart, ended (the door killed if still running, the
// node's folder removed) by DoorTestStop or when the struct goes.
struct TDoorTestRun {
  pid_t Pid = -1;
  int Status = -1;         // waitpid's status once ended
  bool Ended = false;
  int CallerFd = -1;       // the caller's end of the socket (link runs)
  int BoardFd = -1;        // the board's own descriptor of the caller, kept open as boards do
  int TerminalFd = -1;     // the door's terminal (the sysop's console; the caller in stdio)
  bool CallerClosed = false;  // the caller's end saw the connection close
  std::string NodeFolder;  // the fresh folder the drop file is written in
  std::string DropFile;    // its path, empty without one
  std::string Received;    // all the caller got, telnet commands taken out
  std::string Terminal;    // all the door wrote on its terminal
  int TelnetState = 0;

  TDoorTestRun() = default;
  TDoorTestRun(const TDoorTestRun &) = delete;
  TDoorTestRun &operator=(const TDoorTestRun &) = delete;
  ~TDoorTestRun();
};

// Writes AInfo as a drop file of the format AName names (see DropFileName) into AFolder and
// returns its path; empty for a name of no supported format or a file that cannot be written.
std::string DoorTestWriteDropFile(const std::string &AFolder, const std::string &AName,
                                  const TDoorDropInfo &AInfo);

// The caller's telnet client: what ABytes show once telnet commands are taken off (IAC IAC
// is a data byte; option commands and subnegotiations are dropped). AState carries a
// command split between calls; start it at 0.
std::string DoorTestTelnetData(int &AState, std::string_view ABytes);

// Starts the door; false (with nothing left running) if it could not be started.
bool DoorTestStart(TDoorTestRun &ARun, const TDoorTestOptions &AOptions);
// Types as the caller, and on the sysop's keyboard (in stdio mode both are the terminal).
bool DoorTestType(TDoorTestRun &ARun, std::string_view AKeys);
bool DoorTestTypeSysop(TDoorTestRun &ARun, std::string_view AKeys);

// Reads what the door sends for AMilliseconds.
void DoorTestPump(TDoorTestRun &ARun, int AMilliseconds);
// Reads until row AY shows AText from column AX, or ATimeoutMs pass; true if it did.
bool DoorTestShows(TDoorTestRun &ARun, int AY, int AX, std::string_view AText, int ATimeoutMs = 15000);
// Reads until the caller has been sent AText (anywhere in Received), or ATimeoutMs pass.
bool DoorTestSaw(TDoorTestRun &ARun, std::string_view AText, int ATimeoutMs = 15000);
// The caller's screen, 1-based, column first: a cell, a row's 80 bytes, the cursor.
TDoorTestCell DoorTestCell(int AX, int AY);
std::string DoorTestRow(int AY);
int DoorTestCursorX();
int DoorTestCursorY();

// Waits up to ATimeoutMs for the door to end, reading on meanwhile; true if it ended.
bool DoorTestWait(TDoorTestRun &ARun, int ATimeoutMs = 15000);
// The exit code of an ended door; -1 while running or when a signal ended it.
int DoorTestExitCode(const TDoorTestRun &ARun);
// After the end: whether the board still reaches the caller (the door closed only its own
// handle). Always true for a stdio run, whose caller the board holds itself.
bool DoorTestCallerConnected(TDoorTestRun &ARun);
// Ends the run: the door is killed if it still runs, descriptors and folder go.
void DoorTestStop(TDoorTestRun &ARun);
