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
extern std::string DoorProgramNameAndVersion;
extern TDoorSession DoorSession;

// Event hooks: replace any of them at any time; an unset (null) hook is skipped.
extern void (*DoorOnCLP)(char AKey, const std::string &AValue);
extern void (*DoorOnHangup)();
extern void (*DoorOnLocalLogin)();
extern void (*DoorOnStatusBar)();
extern bool (*DoorOnSysopKey)(char AKey);
extern void (*DoorOnTimeOut)();
extern void (*DoorOnTimeOutWarning)(uint8_t AMinutes);
extern void (*DoorOnTimeUp)();
extern void (*DoorOnTimeUpWarning)(uint8_t AMinutes);
extern void (*DoorOnUsage)();

// Session
void DoorStartup(int argc, char **argv);
void DoorShutdown();
bool DoorOpenComm();
bool DoorCarrier();
void DoorClose(bool ADisconnect);
bool DoorStdio();
int32_t DoorSecondsIdle();
int32_t DoorSecondsLeft();

// Output
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
void DoorDisplayFile(const std::string &AFileName);
void DoorDisplaySixel(const std::string &AFileName);

// Input
bool DoorKeyPressed();
char DoorReadKey();
std::string DoorInput(const std::string &ADefaultText, const std::string &AAllowedCharacters,
                      char APasswordCharacter, uint8_t AVisibleLength, uint8_t AMaxLength,
                      uint8_t AAttr);
