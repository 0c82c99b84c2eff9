// The door session: start-up from the command line and drop files, the event pump,
// output to the caller and the sysop's console, key and line input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum TDoorEmulationType : int32_t { etANSI = 0, etASCII = 1 };

enum TDoorLastKeyType : int32_t {
  lkNone = 0,   // no key yet in this read
  lkSysop = 1,  // local keyboard while a caller is on the link
  lkUser = 2,   // the caller, or the local keyboard in stdio mode
};

// Date-time: local wall-clock time as days since 1899-12-30, time of day as the fraction.
using TDateTime = double;

struct TDoorDropInfo {
  int32_t Access = 0;
  std::string Alias;
  int32_t Baud = 0;
  bool Clean = false;
  int32_t ComNum = 0;
  uint8_t ComType = 0;  // 0 local, 1 serial, 2 telnet socket, 3 WC5
  TDoorEmulationType Emulation = etANSI;
  bool Fairy = false;
  int32_t MaxSeconds = 3600;
  int32_t Node = 0;
  std::string RealName;
  int32_t RecPos = 0;
};

struct TDoorLastKey {
  char Ch = 0;  // the character, or an extended key's PC scan code
  bool Extended = false;
  TDoorLastKeyType Location = lkNone;
  TDateTime Time = 0;  // start of the idle count
};

struct TDoorMOREPrompts {
  std::string ASCII = " <MORE>";
  std::string ANSI = " |0A<|02MORE|0A>";
  int32_t ANSITextLength = 7;
};

struct TDoorSession {
  bool DoIdleCheck = true;
  bool Events = false;  // the pump acts (link mode only)
  TDateTime EventsTime = 0;
  int32_t MaxIdle = 300;
  bool PipeWrite = true;
  bool TolvarWrite = false;
  TDateTime TimeOn = 0;
};

extern TDoorDropInfo DoorDropInfo;
extern TDoorLastKey DoorLastKey;
extern int32_t DoorLiteBarIndex;
extern std::vector<std::string> DoorLiteBarOptions;
extern TDoorMOREPrompts DoorMOREPrompts;
// The program's name and version in the status bar; the kit's own (DOORKIT_NAME and
// DOORKIT_VERSION, doorkit/version.h) until the door sets its own, before or after start-up.
extern std::string DoorProgramNameAndVersion;
extern TDoorSession DoorSession;

// Event hooks: replace any of them at any time; an unset (null) hook is skipped.
extern void (*DoorOnCLP)(char AKey, const std::string &AValue);
extern void (*DoorOnHangup)();
extern void (*DoorOnLocalLogin)();
extern void (*DoorOnStatusBar)();
// The sysop's extended keys (the door's own terminal in link mode, or a watcher's) as PC scan
// codes, offered as soon as the door polls for keys; true takes the key. One it does not take
// may be the kit's: Alt+H hang up (0x23), Alt+G five minutes more (0x22), Alt+T five minutes
// less (0x14), Alt+C chat (0x2E); any other comes back from DoorReadKey as the sysop's.
extern bool (*DoorOnSysopKey)(char AKey);
extern void (*DoorOnTimeOut)();
// The warnings: called with 5, 4, 3, 2 and 1 whole minutes left (a second past each).
extern void (*DoorOnTimeOutWarning)(uint8_t AMinutes);
extern void (*DoorOnTimeUp)();
extern void (*DoorOnTimeUpWarning)(uint8_t AMinutes);
extern void (*DoorOnUsage)();

// Allowed characters for DoorInput, in keyboard order (only membership matters).
// Every printable ASCII character, 0x20 to 0x7E.
inline constexpr char DOOR_INPUT_CHARS_ALL[] =
    "`1234567890-=~!@#$%^&*()_+qwertyuiop[]\\QWERTYUIOP{}|asdfghjkl;'ASDFGHJKL:\"zxcvbnm,./"
    "ZXCVBNM<>? ";
// The 52 letters, no space.
inline constexpr char DOOR_INPUT_CHARS_ALPHA[] =
    "qwertyuiopasdfghjklzxcvbnmQWERTYUIOPASDFGHJKLZXCVBNM";
inline constexpr char DOOR_INPUT_CHARS_NUMERIC[] = "1234567890";
// Printable ASCII without the characters a file name cannot safely hold: ` " * / < > ? |
inline constexpr char DOOR_INPUT_CHARS_FILENAME[] =
    "1234567890-=~!@#$%^&()_+qwertyuiop[]\\QWERTYUIOP{}asdfghjkl;'ASDFGHJKL:zxcvbnm,."
    "ZXCVBNM ";

// The switches the kit takes itself, in upper case (either case and either prefix, "-" or
// "/", work on the command line). Every other letter reaches the door's own DoorOnCLP.
//   The board's:  -D drop file, -N node, -S socket, -X stdio mode, -? usage screen
//   The kit's:    -L local mode; -H (and --help) the usage screen;
//                 -U serve a UTF-8 caller (glyphs out as Unicode, typed characters back as
//                    CP437); -A probe the caller's terminal once at start-up and choose
//                    UTF-8 or CP437 by its answer (no answer within a second: CP437, or
//                    UTF-8 with -U); -W ask the caller's window size (telnet DO NAWS on a
//                    socket, a cursor-position report in stdio mode);
//                 -C the sysop's check: what the door found and would do, then the end,
//                    without touching the caller;
//                 -E the lean wire: only what changed on the caller's screen goes out;
//                 -P no sysop's view: the door opens no socket for doorwatch.
inline constexpr char DOOR_KIT_SWITCHES[] = "?ACDEHLNPSUWX";

// Extended keys: what DoorReadKey returns (and DoorLastKey.Ch holds) with
// DoorLastKey.Extended set, the key's PC scan code as a char, so that
// DoorLastKey.Ch == DOOR_KEY_F11 compares right (a char never equals the int 0x85, F11's
// code). Test Extended as well: the codes of the arrows are the letters H, P, K and M.
inline constexpr char DOOR_KEY_F1 = '\x3B';
inline constexpr char DOOR_KEY_F2 = '\x3C';
inline constexpr char DOOR_KEY_F3 = '\x3D';
inline constexpr char DOOR_KEY_F4 = '\x3E';
inline constexpr char DOOR_KEY_F5 = '\x3F';
inline constexpr char DOOR_KEY_F6 = '\x40';
inline constexpr char DOOR_KEY_F7 = '\x41';
inline constexpr char DOOR_KEY_F8 = '\x42';
inline constexpr char DOOR_KEY_F9 = '\x43';
inline constexpr char DOOR_KEY_F10 = '\x44';
inline constexpr char DOOR_KEY_F11 = static_cast<char>(0x85);
inline constexpr char DOOR_KEY_F12 = static_cast<char>(0x86);
inline constexpr char DOOR_KEY_HOME = '\x47';
inline constexpr char DOOR_KEY_UP = '\x48';
inline constexpr char DOOR_KEY_PGUP = '\x49';
inline constexpr char DOOR_KEY_LEFT = '\x4B';
inline constexpr char DOOR_KEY_RIGHT = '\x4D';
inline constexpr char DOOR_KEY_END = '\x4F';
inline constexpr char DOOR_KEY_DOWN = '\x50';
inline constexpr char DOOR_KEY_PGDN = '\x51';
inline constexpr char DOOR_KEY_INSERT = '\x52';
inline constexpr char DOOR_KEY_DELETE = '\x53';

// Session
// Call first, with main's arguments: reads the switches (-D drop file, -N node, -S socket,
// -X stdio, -?, -H or --help usage, -P no sysop's view; "-" or "/" as prefix) and starts a
// local, stdio or link session; a stdio or link session offers its screen to the sysop's
// watchers (doorwatch). Ends the program (exit code 0) after the usage screen or a start-up
// failure, a link handle that is not an open socket among them.
void DoorStartup(int argc, char **argv);
// Call last: releases this program's handle on the link (the caller stays on the board).
void DoorShutdown();
bool DoorOpenComm();
// True in stdio mode; else whether the caller is still connected.
bool DoorCarrier();
// ADisconnect true also hangs the caller up; false keeps them on the board.
void DoorClose(bool ADisconnect);
// True when the link is not used: local mode, or a drop file that asks for stdio.
bool DoorStdio();
// Whether the caller is served UTF-8 (-U, or -A and their terminal's answer); texts the
// door writes are CP437 bytes either way (Utf8ToCp437 turns a UTF-8 literal into them).
bool DoorUtf8();
// The caller's window, 0 while unknown: their telnet client's last report (it sends one
// when asked, -W, and at each resize), their terminal's answer to -W in stdio mode, or the
// size of the pty a stdio door runs on.
int32_t DoorWindowColumns();
int32_t DoorWindowRows();
// Whole seconds since the last key read.
int32_t DoorSecondsIdle();
// The caller's time in the door, counted from start-up; zero or below once used up.
int32_t DoorSecondsLeft();

// Output: every routine here goes through DoorWrite, so the caller and the sysop's
// screen see the same thing.
// Sends text to the caller (pipe codes "|XX" converted while DoorSession.PipeWrite is on,
// backtick codes while DoorSession.TolvarWrite is on) and paints it on the local screen.
void DoorWrite(std::string_view AText);
void DoorWriteLn();
void DoorWriteLn(std::string_view AText);
void DoorClrScr();
void DoorGotoXY(uint8_t AX, uint8_t AY);
void DoorCursorDown(uint8_t ACount);
void DoorCursorLeft(uint8_t ACount);
void DoorTextAttr(uint8_t AAttr);
void DoorTextBackground(uint8_t AColour);
void DoorTextColour(uint8_t AColour);
void DoorTextColourAndBlink(uint8_t AColour, bool ABlink);
void DoorCursorUp(uint8_t ACount);
void DoorCursorRight(uint8_t ACount);
// Remembers the cursor position on both screens; DoorCursorRestore goes back there.
void DoorCursorSave();
void DoorCursorRestore();
// Moves to column AX of the cursor's row, or to row AY of the cursor's column.
void DoorGotoX(uint8_t AX);
void DoorGotoY(uint8_t AY);
// Writes AText centred on the cursor's row of the window (no line end). Pipe codes, when
// converted, do not count towards the width.
void DoorWriteCentered(std::string_view AText);
// Shows a text file, lines joined by CR LF; a file that cannot be read is reported on the
// screen and the routine waits for a key.
void DoorDisplayFile(const std::string &AFileName);
// Sends a sixel picture file to the caller unchanged (no codes converted, nothing painted
// locally unless in stdio mode).
void DoorDisplaySixel(const std::string &AFileName);

// Input: keys come from the caller and the local keyboard; waiting runs the event pump
// (carrier, idle and time limits, status bar), which may end the program.
// Whether a key waits, the caller's or the sysop's.
bool DoorKeyPressed();
// Waits for a key, the caller's first. Extended keys (arrows and the like) come back as
// their PC scan code with DoorLastKey.Extended set: compare with the DOOR_KEY_ names.
char DoorReadKey();
// A one-line field of AVisibleLength cells in AAttr at the cursor, scrolling up to AMaxLength
// characters taken from AAllowedCharacters; backspace and Ctrl-Y erase; APasswordCharacter
// (0 for none) masks the echo. Enter returns the text, ESC the default text.
std::string DoorInput(const std::string &ADefaultText, const std::string &AAllowedCharacters,
                      char APasswordCharacter, uint8_t AVisibleLength, uint8_t AMaxLength,
                      uint8_t AAttr);
// A lightbar menu of DoorLiteBarOptions drawn from the cursor down, APageSize rows at a time
// (0 or less: as many as fit), the bar on DoorLiteBarIndex in the current colours reversed.
// Up and down (the caller's or the sysop's) move the bar; Enter selects: true, with
// DoorLiteBarIndex set to the choice; ESC cancels: false, DoorLiteBarIndex unchanged.
// An empty list gives false at once. Options are shown as plain text.
bool DoorLiteBar(int32_t APageSize);
