// State and routines shared by the door module's source files; not for door programs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "doorkit/door.h"
#include "watch_wire.h"

namespace door_private {

struct State {
  bool Stdio = true;             // the link is not used
  bool CallerOnStdio = false;    // stdio mode with a caller: their stream on the standard handles
  uint16_t ProbedCols = 0;       // the caller's window as their terminal reported it
  uint16_t ProbedRows = 0;
  bool DisplayingSixel = false;  // raw picture lines go to the caller only
  bool ExitHookArmed = false;    // link session started: tidy up at the end of the program
  std::string ProgramFileName;   // file-name part of the program's path, for the login screens
  // The sysop's next key (the door's own keyboard in link mode, or a watcher's), taken
  // ahead so that the sysop's hot keys act without waiting for the door to read a key.
  bool SysopKeyHeld = false;
  char SysopKey = 0;
  bool SysopKeyExtended = false;
  bool Chatting = false;  // the sysop's chat is on the screen
  bool ChatEnd = false;   // the sysop asked to end it
};
extern State g;

// The clock every time check reads.
TDateTime Now();
// Whole seconds from AFrom to ATo, truncated; 0 when ATo is not later. Capped at INT32_MAX.
int64_t SecondsBetween(TDateTime AFrom, TDateTime ATo);
void ResetClock();

// The caller's bytes go over the link: a socket, or the standard handles of a stdio door.
inline bool CallerLinked() { return !g.Stdio || g.CallerOnStdio; }

// Sends to the caller and paints locally, converting no codes.
void WritePlain(std::string_view AText);

// Forgets a key sequence the caller had begun and a key decoded but not read.
void ResetKeys();
// Sleeps until a key may be there: the caller's, the sysop's, or the pump's next second.
void WaitForKey();
// Whether the sysop has a key waiting (acting on hot keys meanwhile); TakeSysopKey takes it.
bool SysopKeyWaiting();
bool TakeSysopKey(char &AKey, bool &AExtended);
// The kit's own sysop keys (door_sysop.cpp), offered once the door's DoorOnSysopKey has
// not taken the key; true when taken.
bool KitSysopKey(char AScan);
// What a watcher's listing of this node shows.
void WatchInfo(TWatchHello &AHello);

// One pass of the event pump; acts at most once per second, in link mode only.
void DoorDoEvents();

// Ends the program the way every failure does: optional 2500 ms pause, exit code 0.
[[noreturn]] void EndProgram(bool APause);

// A drop-file format and its reader. The board's formats of old are told by a text
// anywhere in the name as given, path included; the others by the file's own name.
struct TDropFormat {
  const char *Name;  // the text looked for, upper case
  void (*Read)(const std::string &AFileName);
  bool FileNameOnly;
};
// The reader for a drop file of that name (case ignored), or null when none fits.
const TDropFormat *FindDropFormat(const std::string &AName);

// The command line as start-up reads it.
struct TStartArgs {
  std::string DropFile;
  bool ForceStdio = false;
  bool Local = true;
  int32_t Node = 0;
  int32_t Socket = -99;
};

// The sysop's check (-C): says on standard output what start-up found and would do, and
// ends the program (exit code 0) without a byte to the caller.
[[noreturn]] void SysopCheck(const TStartArgs &AArgs, int argc, char **argv);

// Default hook handlers.
void DefaultOnHangup();
void DefaultOnTimeOut();
void DefaultOnTimeUp();
void DefaultOnStatusBar();
void DefaultOnLocalLogin();
void DefaultOnUsage();

}  // namespace door_private
