#include "doorkit/dropfiles.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "doorkit/console.h"
#include "doorkit/door.h"
#include "doorkit/stringutils.h"

namespace {

constexpr char DROP_EOF = '\x1A';

// One drop file being read: the descriptor and a read-ahead buffer.
struct TDropFile {
  int Fd = -1;
  const std::string *Name = nullptr;
  bool Eof = false;
  size_t Pos = 0;
  size_t Len = 0;
  char Buf[8192];
};

[[noreturn]] void DropFileFailed(const std::string &AFileName, int AError) {
  // Same shape as the kit's other start-up failures: on the console, a pause, exit code 0.
  ClrScr();
  ConsoleWrite("\r\n  Cannot read drop file " + AFileName + ": " + std::strerror(AError) + "\r\n\r\n");
  Delay(2500);
  std::exit(0);
}

bool DropOpen(TDropFile &F, const std::string &AFileName) {
  F.Name = &AFileName;
  // O_NONBLOCK only so that a FIFO without a writer cannot hold up the open.
  F.Fd = open(AFileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (F.Fd < 0) return false;
  struct stat St;
  if (fstat(F.Fd, &St) != 0 || S_ISDIR(St.st_mode)) {
    // A folder is a name that cannot be read as a file, like one that cannot be opened.
    close(F.Fd);
    F.Fd = -1;
    return false;
  }
  int Flags = fcntl(F.Fd, F_GETFL);
  if (Flags >= 0) fcntl(F.Fd, F_SETFL, Flags & ~O_NONBLOCK);
  return true;
}

void DropClose(TDropFile &F) {
  int Fd = F.Fd;
  F.Fd = -1;
  if (close(Fd) != 0 && errno != EINTR) DropFileFailed(*F.Name, errno);
}

// The next byte, or -1 at the end of the file; Peek leaves it in place.
int DropPeek(TDropFile &F) {
  if (F.Pos == F.Len) {
    ssize_t N;
    do {
      N = read(F.Fd, F.Buf, sizeof(F.Buf));
    } while (N < 0 && errno == EINTR);
    if (N < 0) DropFileFailed(*F.Name, errno);
    F.Pos = 0;
    F.Len = static_cast<size_t>(N);
    if (N == 0) return -1;
  }
  return static_cast<unsigned char>(F.Buf[F.Pos]);
}

int DropGet(TDropFile &F) {
  int C = DropPeek(F);
  if (C >= 0) F.Pos++;
  return C;
}

// One line into S without its line end (CR LF, LF or CR). Past the end of the file, or
// after a 0x1A, every line is empty. Only the first DROP_MAX_LINE bytes are kept.
void DropReadLn(TDropFile &F, std::string &S) {
  S.clear();
  while (!F.Eof) {
    int C = DropGet(F);
    if (C < 0 || C == static_cast<unsigned char>(DROP_EOF)) {
      F.Eof = true;
      break;
    }
    if (C == '\n') break;
    if (C == '\r') {
      if (DropPeek(F) == '\n') F.Pos++;
      break;
    }
    if (S.size() < DROP_MAX_LINE) S.push_back(static_cast<char>(C));
  }
}

void DropSkip(TDropFile &F, std::string &S, int ACount) {
  for (int I = 0; I < ACount; I++) DropReadLn(F, S);
}

int32_t Saturate(int64_t AValue) {
  if (AValue > INT32_MAX) return INT32_MAX;
  if (AValue < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(AValue);
}

// Minutes as the board wrote them, in seconds; a huge count stays the largest time there is.
int32_t MinutesToSeconds(int32_t AMinutes) { return Saturate(int64_t{AMinutes} * 60); }

// A record counted from 1, counted from 0.
int32_t FromOne(int32_t ARecord) { return Saturate(int64_t{ARecord} - 1); }

// A port named as COMn (DORINFO) or COMn: (DOOR.SYS): a number above 0 means a serial line.
void SetSerialPort(std::string_view ANumber) {
  DoorDropInfo.ComNum = StrToIntDef(ANumber, 0);
  if (DoorDropInfo.ComNum > 0) DoorDropInfo.ComType = 1;
}


// --- The formats other boards write (CHAIN.TXT, DOORFILE.SR, SFDOORS.DAT, CALLINFO.BBS,
// TRIBBS.SYS). These are read as boards really write them: LF or CR LF, lines that end in
// blanks (sysops' batch files), numbers padded or with a fraction, files shorter or longer
// than their format. A line the file does not have leaves its field alone; a line that is
// there but unreadable gives the field its load-time default. None of them names a socket,
// so each session they describe runs in stdio mode.

constexpr int BOARD_MAX_LINES = 64;  // more than any of these formats has

// The lines the file has (up to BOARD_MAX_LINES), trailing blanks and tabs gone.
std::vector<std::string> BoardLines(TDropFile &F) {
  std::vector<std::string> Lines;
  std::string S;
  while (static_cast<int>(Lines.size()) < BOARD_MAX_LINES) {
    DropReadLn(F, S);
    if (F.Eof && S.empty()) break;
    while (!S.empty() && (S.back() == ' ' || S.back() == '\t')) S.pop_back();
    Lines.push_back(S);
  }
  return Lines;
}

const TDoorDropInfo DROP_DEFAULTS{};

// Line ALine (from 1), or nullptr when the file stops before it.
const std::string *Line(const std::vector<std::string> &ALines, size_t ALine) {
  return ALine <= ALines.size() ? &ALines[ALine - 1] : nullptr;
}

// The leading integer of a number field ("  2225.00" is 2225), saturated; false if none.
bool LeadingInt(const std::string &AText, int64_t &AValue) {
  size_t I = 0;
  while (I < AText.size() && (AText[I] == ' ' || AText[I] == '\t')) I++;
  bool Negative = false;
  if (I < AText.size() && (AText[I] == '-' || AText[I] == '+')) Negative = AText[I++] == '-';
  if (I == AText.size() || AText[I] < '0' || AText[I] > '9') return false;
  int64_t V = 0;
  for (; I < AText.size() && AText[I] >= '0' && AText[I] <= '9'; I++) {
    V = std::min<int64_t>(V * 10 + (AText[I] - '0'), int64_t{INT32_MAX} + 1);
  }
  AValue = Negative ? -V : V;
  return true;
}

void TakeInt(const std::vector<std::string> &ALines, size_t ALine, int32_t &AField, int32_t ADefault) {
  const std::string *S = Line(ALines, ALine);
  if (!S) return;
  int64_t V;
  AField = LeadingInt(*S, V) ? Saturate(V) : ADefault;
}

// Time left in the unit the format uses (60 for minutes), in seconds, saturated. A time
// that cannot be read gives the load-time allowance rather than none at all.
void TakeTime(const std::vector<std::string> &ALines, size_t ALine, int64_t AUnit) {
  const std::string *S = Line(ALines, ALine);
  if (!S) return;
  int64_t V;
  DoorDropInfo.MaxSeconds = LeadingInt(*S, V) ? Saturate(V * AUnit) : DROP_DEFAULTS.MaxSeconds;
}

// A record number counted from 1 (as all these boards count their users), counted from 0.
void TakeRecord(const std::vector<std::string> &ALines, size_t ALine) {
  const std::string *S = Line(ALines, ALine);
  if (!S) return;
  int64_t V;
  DoorDropInfo.RecPos = LeadingInt(*S, V) ? Saturate(V - 1) : DROP_DEFAULTS.RecPos;
}

void TakeText(const std::vector<std::string> &ALines, size_t ALine, std::string &AField) {
  if (const std::string *S = Line(ALines, ALine)) AField = *S;
}

// ANSI or not from the line's first letter (Y/N, T/F) or a number (1/0); anything else, a
// DOORFILE.SR's -1 (unknown) included, gives the default.
void TakeAnsi(const std::vector<std::string> &ALines, size_t ALine) {
  const std::string *S = Line(ALines, ALine);
  if (!S) return;
  const char C = S->empty() ? 0 : static_cast<char>(std::toupper(static_cast<unsigned char>((*S)[0])));
  DoorDropInfo.Emulation = (C == 'Y' || C == 'T' || C == '1' || C == 'C') ? etANSI
                           : (C == 'N' || C == 'F' || C == '0' || C == 'M') ? etASCII
                                                                            : DROP_DEFAULTS.Emulation;
}

// Opens, reads the lines, and sets what every one of these formats shares: stdio mode.
bool BoardOpen(const std::string &AFileName, std::vector<std::string> &ALines) {
  TDropFile F;
  if (!DropOpen(F, AFileName)) return false;
  ALines = BoardLines(F);
  DropClose(F);
  DoorDropInfo.ComType = 0;
  return true;
}

}  // namespace

void ReadDoor32(const std::string &AFileName) {
  TDropFile F;
  if (!DropOpen(F, AFileName)) return;
  std::string S;
  DropReadLn(F, S);  // 1: connection kind
  DoorDropInfo.ComType = static_cast<uint8_t>(StrToIntDef(S, 0));
  DropReadLn(F, S);  // 2: comm or socket handle
  DoorDropInfo.ComNum = StrToIntDef(S, -1);
  DropReadLn(F, S);  // 3: speed
  DoorDropInfo.Baud = StrToIntDef(S, 38400);
  DropReadLn(F, S);  // 4: board name
  DropReadLn(F, S);  // 5: user record, from 1
  DoorDropInfo.RecPos = FromOne(StrToIntDef(S, 1));
  DropReadLn(F, S);  // 6
  DoorDropInfo.RealName = S;
  DropReadLn(F, S);  // 7
  DoorDropInfo.Alias = S;
  DropReadLn(F, S);  // 8: security level
  DoorDropInfo.Access = StrToIntDef(S, 0);
  DropReadLn(F, S);  // 9: minutes left
  DoorDropInfo.MaxSeconds = MinutesToSeconds(StrToIntDef(S, 0));
  DropReadLn(F, S);  // 10: emulation, 0 plain text
  DoorDropInfo.Emulation = StrToIntDef(S, 1) == 0 ? etASCII : etANSI;
  DropReadLn(F, S);  // 11: node
  DoorDropInfo.Node = StrToIntDef(S, 0);
  DropClose(F);
}

void ReadDoorSys(const std::string &AFileName) {
  TDropFile F;
  if (!DropOpen(F, AFileName)) return;
  std::string S;
  DropReadLn(F, S);  // 1: COMn: -- the first three characters and the colon go
  SetSerialPort(S.size() > 4 ? std::string_view(S).substr(3, S.size() - 4) : std::string_view());
  DropSkip(F, S, 2);
  DropReadLn(F, S);  // 4: node
  DoorDropInfo.Node = StrToIntDef(S, 0);
  DropReadLn(F, S);  // 5: speed
  DoorDropInfo.Baud = StrToIntDef(S, 38400);
  DropSkip(F, S, 4);
  DropReadLn(F, S);  // 10: full name
  DoorDropInfo.RealName = S;
  DropSkip(F, S, 4);
  DropReadLn(F, S);  // 15: security level
  DoorDropInfo.Access = StrToIntDef(S, 0);
  DropSkip(F, S, 2);
  DropReadLn(F, S);  // 18: seconds left
  DoorDropInfo.MaxSeconds = StrToIntDef(S, 0);
  DropSkip(F, S, 1);
  DropReadLn(F, S);  // 20: GR, NG or 7E
  DoorDropInfo.Emulation = UpperCase(S) == "GR" ? etANSI : etASCII;
  DropSkip(F, S, 5);
  DropReadLn(F, S);  // 26: user record, from 1
  DoorDropInfo.RecPos = FromOne(StrToIntDef(S, 1));
  DropSkip(F, S, 9);
  DropReadLn(F, S);  // 36: alias
  DoorDropInfo.Alias = S;
  DropSkip(F, S, 16);
  DropClose(F);
}

void ReadDorInfo(const std::string &AFileName) {
  TDropFile F;
  if (!DropOpen(F, AFileName)) return;
  std::string S;
  DropSkip(F, S, 3);
  DropReadLn(F, S);  // 4: COMn
  SetSerialPort(S.size() > 3 ? std::string_view(S).substr(3) : std::string_view());
  DropReadLn(F, S);  // 5: "38400 BAUD,N,8,1" -- the speed is what comes before the first blank
  size_t Blank = S.find(' ');
  DoorDropInfo.Baud =
      StrToIntDef(Blank == std::string::npos ? std::string_view() : std::string_view(S).substr(0, Blank), 38400);
  DropSkip(F, S, 1);
  DropReadLn(F, S);  // 7: first name
  DoorDropInfo.Alias = S;
  DropReadLn(F, S);  // 8: last name
  DoorDropInfo.RealName = S.empty() ? DoorDropInfo.Alias : DoorDropInfo.Alias + " " + S;
  DropSkip(F, S, 1);
  DropReadLn(F, S);  // 10: graphics, 1 ANSI
  DoorDropInfo.Emulation = StrToIntDef(S, 1) == 1 ? etANSI : etASCII;
  DropReadLn(F, S);  // 11: security level
  DoorDropInfo.Access = StrToIntDef(S, 0);
  DropReadLn(F, S);  // 12: minutes left
  DoorDropInfo.MaxSeconds = MinutesToSeconds(StrToIntDef(S, 0));
  DropSkip(F, S, 1);
  DropClose(F);
}

void ReadLordInfo(const std::string &AFileName) {
  TDropFile F;
  if (!DropOpen(F, AFileName)) return;
  std::string S;
  DropReadLn(F, S);  // 1: user record, from 0
  DoorDropInfo.RecPos = StrToIntDef(S, 0);
  DropReadLn(F, S);  // 2: graphics, 3 ANSI
  DoorDropInfo.Emulation = StrToIntDef(S, 3) == 3 ? etANSI : etASCII;
  DropSkip(F, S, 1);
  DropReadLn(F, S);  // 4
  DoorDropInfo.Fairy = UpperCase(S) == "FAIRY YES";
  DropReadLn(F, S);  // 5: minutes left
  DoorDropInfo.MaxSeconds = MinutesToSeconds(StrToIntDef(S, 0));
  DropReadLn(F, S);  // 6: alias
  DoorDropInfo.Alias = S;
  DropReadLn(F, S);  // 7: first name
  DoorDropInfo.RealName = S;
  DropReadLn(F, S);  // 8: last name
  if (!S.empty()) DoorDropInfo.RealName += " " + S;
  DropReadLn(F, S);  // 9: comm or socket handle
  DoorDropInfo.ComNum = StrToIntDef(S, 0);
  DropReadLn(F, S);  // 10: speed
  DoorDropInfo.Baud = StrToIntDef(S, 38400);
  DropSkip(F, S, 1);
  DropReadLn(F, S);  // 12: connection kind
  std::string Kind = UpperCase(S);
  DoorDropInfo.ComType = Kind == "LOCAL" ? 0 : Kind == "TELNET" ? 2 : Kind == "WC5" ? 3 : 1;
  DropSkip(F, S, 1);
  DropReadLn(F, S);  // 14
  DoorDropInfo.Clean = UpperCase(S) == "CLEAN MODE ON";
  DropClose(F);
}

void ReadChainTxt(const std::string &AFileName) {
  std::vector<std::string> L;
  if (!BoardOpen(AFileName, L)) return;
  // No node: line 32 is WWIV's network node, not the board's. Some writers swap the
  // co-sysop and sysop lines (12, 13), which are not read.
  TakeRecord(L, 1);
  TakeText(L, 2, DoorDropInfo.Alias);
  TakeText(L, 3, DoorDropInfo.RealName);
  TakeInt(L, 11, DoorDropInfo.Access, DROP_DEFAULTS.Access);
  TakeAnsi(L, 14);
  TakeTime(L, 16, 1);  // seconds, "%8ld.00"
  // Line 20 is the speed, or KB when the caller is local. A widely read table has two log
  // lines and puts the speed on 21; the boards that write the file put it on 20.
  TakeInt(L, 20, DoorDropInfo.Baud, DROP_DEFAULTS.Baud);
}

void ReadDoorFileSr(const std::string &AFileName) {
  std::vector<std::string> L;
  if (!BoardOpen(AFileName, L)) return;
  // One board adds a city line at 4 (nine lines, 4 to 8 one further down).
  const size_t Shift = L.size() >= 9 ? 1 : 0;
  TakeText(L, 1, DoorDropInfo.Alias);
  TakeAnsi(L, 2);
  TakeInt(L, 5 + Shift, DoorDropInfo.Baud, DROP_DEFAULTS.Baud);
  const std::string *Minutes = Line(L, 7 + Shift);
  int64_t V;
  if (Minutes && LeadingInt(*Minutes, V) && V < 0) {
    DoorDropInfo.MaxSeconds = DROP_DEFAULTS.MaxSeconds;  // -1: the board does not know
  } else {
    TakeTime(L, 7 + Shift, 60);
  }
  // Older files stop at 7 and the real name is the handle then.
  const std::string *Real = Line(L, 8 + Shift);
  DoorDropInfo.RealName = Real && !Real->empty() ? *Real : DoorDropInfo.Alias;
}

void ReadSfDoors(const std::string &AFileName) {
  std::vector<std::string> L;
  if (!BoardOpen(AFileName, L)) return;
  TakeRecord(L, 1);
  TakeText(L, 2, DoorDropInfo.RealName);
  TakeText(L, 4, DoorDropInfo.Alias);  // the first name: the format has no handle
  TakeInt(L, 5, DoorDropInfo.Baud, DROP_DEFAULTS.Baud);
  TakeTime(L, 7, 60);
  TakeAnsi(L, 10);  // TRUE / FALSE: the first letter only
  TakeInt(L, 11, DoorDropInfo.Access, DROP_DEFAULTS.Access);
  TakeInt(L, 24, DoorDropInfo.Node, DROP_DEFAULTS.Node);
}

void ReadCallInfo(const std::string &AFileName) {
  std::vector<std::string> L;
  if (!BoardOpen(AFileName, L)) return;
  TakeText(L, 1, DoorDropInfo.RealName);
  TakeText(L, 1, DoorDropInfo.Alias);  // one name only
  TakeInt(L, 4, DoorDropInfo.Access, DROP_DEFAULTS.Access);
  TakeTime(L, 5, 60);
  TakeAnsi(L, 6);  // COLOR or MONO
  TakeRecord(L, 8);
  TakeInt(L, 31, DoorDropInfo.Baud, DROP_DEFAULTS.Baud);
  // Line 35, where the board writes one (a short file has no node; one writer puts a task
  // number there, which serves as well).
  TakeInt(L, 35, DoorDropInfo.Node, DROP_DEFAULTS.Node);
}

void ReadTriBbs(const std::string &AFileName) {
  std::vector<std::string> L;
  if (!BoardOpen(AFileName, L)) return;
  TakeRecord(L, 1);
  TakeText(L, 2, DoorDropInfo.RealName);
  TakeInt(L, 4, DoorDropInfo.Access, DROP_DEFAULTS.Access);
  TakeAnsi(L, 6);
  TakeTime(L, 7, 60);
  TakeInt(L, 11, DoorDropInfo.Node, DROP_DEFAULTS.Node);
  TakeInt(L, 13, DoorDropInfo.Baud, DROP_DEFAULTS.Baud);
  // The alias is line 19; a file without it (or with it blank) leaves the real name.
  const std::string *Alias = Line(L, 19);
  DoorDropInfo.Alias = Alias && !Alias->empty() ? *Alias : DoorDropInfo.RealName;
}
