#include "doorkit/dropfiles.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

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
