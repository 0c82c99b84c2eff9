#include "doorkit/comm.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "comm_internal.h"
#include "cp437.h"

namespace {

constexpr size_t RECEIVE_SIZE = 1024;
// The longest a wait sleeps before it looks again (signals, the stall clock).
constexpr int WAIT_SLICE_MS = 100;

// What the last receive ended with, so that a line end split over two receives
// still folds to one CR.
enum class TLineEnd : uint8_t {
  None,
  CR,    // a CR: an LF or NUL right after it belongs to it
  CRLF,  // a CR LF: a NUL right after it belongs to it as well
};

// Where the caller's stream stands between telnet commands; a command split over two
// receives is still taken whole.
enum class TTelnet : uint8_t {
  Data,
  Iac,     // an IAC: a command byte follows (or a second IAC, a data byte 255)
  Option,  // IAC WILL/WONT/DO/DONT: the option byte follows
  Sb,      // inside a subnegotiation: nothing of it is data
  SbIac,   // an IAC inside a subnegotiation: SE ends it, a second IAC is part of it
};

// The longest subnegotiation taken as one: a client that never sends its IAC SE must not
// swallow the caller's keys for good. Window sizes and terminal types fit many times over.
constexpr size_t TELNET_SB_LIMIT = 64;
// Where the caller's outgoing text stands: glyphs are turned into UTF-8 only in plain text,
// never inside an escape sequence, a device control string (sixel) or a music string.
enum class TOutText : uint8_t {
  Text,
  Esc,       // after ESC
  CsiFirst,  // right after ESC [: N or | begins music
  Csi,       // the parameters
  Music,   // ESC [ N up to SO
  String,  // ESC P, ESC ], ... up to the string terminator
  StringEsc,
};

constexpr uint8_t TELNET_SE = 0xF0;
constexpr uint8_t TELNET_SB = 0xFA;
constexpr uint8_t TELNET_WILL = 0xFB;
constexpr uint8_t TELNET_DONT = 0xFE;
constexpr uint8_t TELNET_IAC = 0xFF;
constexpr uint8_t TELNET_NAWS = 31;
// The longest subnegotiation kept to be read (a window-size report is 5 bytes).
constexpr size_t SB_KEEP = 8;

struct State {
  // The caller's data bytes (telnet taken out, line ends folded), not read yet:
  // FBuffer[FHead..FTail). One receive at most, so a caller who floods the door leaves the
  // rest waiting in the kernel.
  char FBuffer[RECEIVE_SIZE];
  size_t FHead = 0;
  size_t FTail = 0;
  bool FCarrier = true;
  int32_t FCommNumber = -1;
  bool FSocket = false;   // the handle was a socket when adopted: the only case we touch it
  bool FClosed = false;   // closed by us: the number may belong to someone else now
  int FOldFlags = -1;     // the board's file-status flags, put back at close
  TLineEnd FLineEnd = TLineEnd::None;
  TTelnet FTelnet = TTelnet::Data;
  size_t FSbLength = 0;  // bytes of the open subnegotiation so far
  uint8_t FSb[SB_KEEP] = {};  // the subnegotiation being received, IAC IAC taken as one byte
  size_t FSbLen = 0;
  uint16_t FCols = 0, FRows = 0;  // the caller's last window-size report
  bool FStdio = false;     // the caller's stream is on the standard handles: no telnet
  int FOutFd = -1;         // where the caller's bytes go: the socket, or standard output
  bool FOutSocket = false;  // ... and that is a socket (sends that never block)
  bool FUtf8 = false;       // the caller's terminal takes UTF-8 both ways
  TUtf8Decoder FUtf8In;
  TOutText FOutText = TOutText::Text;
  uint32_t FSendTimeout = COMM_SEND_TIMEOUT_MS;
  bool FBuffered = false;  // writes gather in FOut until a flush
  char FOut[COMM_OUT_BUFFER_SIZE];
  size_t FOutLen = 0;
};
State g;

bool IsSocket(int AHandle) {
  if (AHandle < 0) return false;
  int Type = 0;
  socklen_t Len = sizeof(Type);
  return getsockopt(AHandle, SOL_SOCKET, SO_TYPE, &Type, &Len) == 0;
}

// Telnet's line ends (CR LF, CR NUL, a bare LF) become one CR.
void FoldByte(char AC) {
  if (g.FLineEnd == TLineEnd::CR && AC == '\n') {
    g.FLineEnd = TLineEnd::CRLF;
    return;
  }
  if (g.FLineEnd != TLineEnd::None && AC == '\0') {
    g.FLineEnd = TLineEnd::None;
    return;
  }
  g.FLineEnd = TLineEnd::None;
  if (AC == '\r') {
    g.FLineEnd = TLineEnd::CR;
  } else if (AC == '\n') {
    AC = '\r';
  }
  g.FBuffer[g.FTail++] = AC;
}

// A data byte of the caller's; from a UTF-8 caller, a character becomes its CP437 byte
// once whole, and one without a CP437 form is dropped (its bytes would read as keys).
void TakeData(char AC) {
  if (g.FUtf8) {
    const int32_t Code = Utf8Feed(g.FUtf8In, static_cast<uint8_t>(AC));
    if (Code < 0) return;
    const int Ch = Cp437FromUnicode(static_cast<uint32_t>(Code));
    if (Ch < 0) return;
    AC = static_cast<char>(Ch);
  }
  FoldByte(AC);
}

// A subnegotiation has ended with IAC SE: a window-size report is kept.
void TakeSubnegotiation() {
  if (g.FSbLen == 5 && g.FSb[0] == TELNET_NAWS) {
    g.FCols = static_cast<uint16_t>((g.FSb[1] << 8) | g.FSb[2]);
    g.FRows = static_cast<uint16_t>((g.FSb[3] << 8) | g.FSb[4]);
  }
  g.FSbLen = 0;
}

void KeepSb(uint8_t AB) {
  if (g.FSbLen < SB_KEEP) g.FSb[g.FSbLen] = AB;
  if (g.FSbLen <= SB_KEEP) g.FSbLen++;  // longer than kept: no report of ours
}

// The byte after an IAC.
void TakeCommand(char AC) {
  const uint8_t B = static_cast<uint8_t>(AC);
  if (B == TELNET_IAC) {
    g.FTelnet = TTelnet::Data;
    TakeData(AC);
  } else if (B >= TELNET_WILL && B <= TELNET_DONT) {
    g.FTelnet = TTelnet::Option;
  } else if (B == TELNET_SB) {
    g.FTelnet = TTelnet::Sb;
    g.FSbLength = 0;
    g.FSbLen = 0;
  } else {
    g.FTelnet = TTelnet::Data;  // NOP, GA, AYT, ...: two bytes in all
  }
}

// The caller's client talks telnet back: answers to our two announcements (DO BINARY,
// DO ECHO), offers of its own (WILL NAWS, WILL TTYPE, DO SGA, ...), a window-size report
// whenever the caller resizes. None of it is a key: in a window-size report a width of 81
// would read as 'Q' and a height of 27 as ESC. Commands are dropped, subnegotiations
// whatever their length with them (nothing of one is held but the state), and IAC IAC
// is one data byte 255; the line ends are folded in the data that is left.
// Nothing is answered. The client's DO/DONT acknowledge what we announced; its own offers
// go unanswered, and an option never agreed to stays off, so the door has no need to
// refuse them (what a client sends regardless, such as a window size, is dropped above).
// Fills the empty buffer; the result is never longer than the receive.
void TakeReceived(const char *AData, size_t ALen) {
  g.FHead = 0;
  g.FTail = 0;
  for (size_t I = 0; I < ALen; I++) {
    const char C = AData[I];
    const uint8_t B = static_cast<uint8_t>(C);
    switch (g.FTelnet) {
      case TTelnet::Data:
        if (B == TELNET_IAC && !g.FStdio) {
          g.FTelnet = TTelnet::Iac;
        } else {
          TakeData(C);
        }
        break;
      case TTelnet::Iac:
        TakeCommand(C);
        break;
      case TTelnet::Option:
        g.FTelnet = TTelnet::Data;
        break;
      case TTelnet::Sb:
        if (B == TELNET_IAC) {
          g.FTelnet = TTelnet::SbIac;
        } else if (++g.FSbLength > TELNET_SB_LIMIT) {
          // No end in sight: what follows is the caller's again.
          g.FTelnet = TTelnet::Data;
          TakeData(C);
        } else {
          KeepSb(B);
        }
        break;
      case TTelnet::SbIac:
        if (B == TELNET_SE) {
          g.FTelnet = TTelnet::Data;
          TakeSubnegotiation();
        } else if (B == TELNET_IAC) {
          g.FTelnet = TTelnet::Sb;
          KeepSb(B);
        } else {
          // A client that left out its SE: the subnegotiation ends at this command, and
          // the caller's keys after it are not swallowed up to some later SE.
          TakeCommand(C);
        }
        break;
    }
  }
}

bool BufferEmpty() { return g.FHead == g.FTail; }

uint64_t MonotonicMs() {
  timespec T{};
  clock_gettime(CLOCK_MONOTONIC, &T);
  return static_cast<uint64_t>(T.tv_sec) * 1000u + static_cast<uint64_t>(T.tv_nsec) / 1000000u;
}

bool Usable() { return (g.FSocket || g.FStdio) && !g.FClosed; }

// One poll of the socket; only called with an empty buffer.
void ReceiveData() {
  if (g.FClosed) return;
  if (!g.FSocket && !g.FStdio) {
    // Not a socket (a serial port number, our own stdio): nothing can ever arrive.
    g.FCarrier = false;
    return;
  }
  pollfd P{g.FCommNumber, POLLIN, 0};
  int Ready;
  do {
    Ready = poll(&P, 1, 0);
  } while (Ready < 0 && errno == EINTR);
  if (Ready <= 0) return;
  if (P.revents & POLLNVAL) {
    // The descriptor was closed behind our back: no byte can come any more.
    g.FCarrier = false;
    return;
  }
  char ReadArray[RECEIVE_SIZE];
  ssize_t NumRead;
  do {
    // Never block here: the board may share the socket and take the bytes first. Standard
    // input may be a pipe or a pty, where only a read reads.
    NumRead = g.FStdio ? read(g.FCommNumber, ReadArray, sizeof(ReadArray))
                       : recv(g.FCommNumber, ReadArray, sizeof(ReadArray), MSG_DONTWAIT);
  } while (NumRead < 0 && errno == EINTR);
  if (NumRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (NumRead <= 0) {
    g.FCarrier = false;
    return;
  }
  TakeReceived(ReadArray, static_cast<size_t>(NumRead));
}

// The waiting reads; they give up with 0 once nothing can arrive any more. They sleep in
// the kernel until the caller sends, looking again now and then.
bool WaitForByte() {
  CommFlushOutBuffer();
  ReceiveData();
  while (BufferEmpty()) {
    if (!g.FCarrier || !Usable()) return false;
    pollfd P{g.FCommNumber, POLLIN, 0};
    poll(&P, 1, WAIT_SLICE_MS);
    ReceiveData();
  }
  return true;
}

// A send found the caller's window full: waits a slice for room. False once the caller has
// taken nothing for the whole send time-out (the carrier is then taken as lost), or when
// sends are not to wait at all.
bool WaitForRoom(uint64_t &AStalledMs) {
  if (!g.FCarrier || g.FSendTimeout == 0) return false;
  if (AStalledMs >= g.FSendTimeout) {
    g.FCarrier = false;
    return false;
  }
  const uint64_t Slice = std::min<uint64_t>(WAIT_SLICE_MS, g.FSendTimeout - AStalledMs);
  const uint64_t Start = MonotonicMs();
  pollfd P{g.FOutFd, POLLOUT, 0};
  poll(&P, 1, static_cast<int>(Slice));  // a signal cuts it short: SA_RESTART never restarts poll
  AStalledMs += MonotonicMs() - Start;
  if (CommOnSendWait) CommOnSendWait();
  return true;
}

// Sends the bytes to the caller now.
void SendNow(const char *AData, size_t ALen) {
  const char *P = AData;
  size_t Left = ALen;
  uint64_t StalledMs = 0;  // how long the caller has taken nothing of this block
  // One send as a rule; more only while the caller's window is full. The waits are ours, not
  // the kernel's (MSG_DONTWAIT), so they are bounded and a signal can end the door in one.
  // MSG_NOSIGNAL: a caller who has hung up must not kill the door with SIGPIPE.
  while (Left > 0) {
    ssize_t Sent = g.FOutSocket ? send(g.FOutFd, P, Left, MSG_NOSIGNAL | MSG_DONTWAIT)
                                : write(g.FOutFd, P, Left);
    if (Sent > 0) {
      P += Sent;
      Left -= static_cast<size_t>(Sent);
      StalledMs = 0;
      continue;
    }
    if (Sent < 0 && errno == EINTR) continue;
    if (Sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitForRoom(StalledMs)) continue;
    return;  // failed, or no more waiting: ignored, as every send failure is
  }
}

// Adds bytes to the out-buffer as they are; a full buffer goes out at once.
void Put(const char *AData, size_t ALen) {
  while (ALen > 0) {
    if (g.FOutLen == COMM_OUT_BUFFER_SIZE) CommFlushOutBuffer();
    const size_t N = std::min(COMM_OUT_BUFFER_SIZE - g.FOutLen, ALen);
    std::memcpy(g.FOut + g.FOutLen, AData, N);
    g.FOutLen += N;
    AData += N;
    ALen -= N;
  }
}

// Adds to the out-buffer, with 0xFF doubled when AEscape.
void Gather(const char *AData, size_t ALen, bool AEscape) {
  if (!Usable()) return;
  while (ALen > 0) {
    const void *Iac = AEscape ? std::memchr(AData, 0xFF, ALen) : nullptr;
    const size_t Plain = Iac ? static_cast<size_t>(static_cast<const char *>(Iac) - AData) + 1 : ALen;
    Put(AData, Plain);
    if (Iac) Put("\xFF", 1);  // IAC IAC: a data byte 255
    AData += Plain;
    ALen -= Plain;
  }
}

// The caller's text for a UTF-8 terminal: each CP437 glyph byte as its Unicode character;
// control bytes, escape and control sequences, sixel data and music strings as they are.
// A sequence split over two writes is still followed.
void AppendUtf8(std::string_view AText, std::string &AOut) {
  for (char C : AText) {
    const uint8_t B = static_cast<uint8_t>(C);
    TOutText &S = g.FOutText;
    switch (S) {
      case TOutText::Text:
        if (B == 0x1B) S = TOutText::Esc;
        break;
      case TOutText::Esc:
        if (B == '[') {
          S = TOutText::CsiFirst;
        } else if (B == 'P' || B == ']' || B == 'X' || B == '^' || B == '_') {
          S = TOutText::String;  // DCS (sixel), OSC, SOS, PM, APC
        } else if (B != 0x1B) {
          S = TOutText::Text;
        }
        break;
      case TOutText::CsiFirst:
      case TOutText::Csi:
        if ((B == 'N' || B == '|') && S == TOutText::CsiFirst) {
          S = TOutText::Music;
        } else if (B >= 0x40 || B == 0x1B) {
          // The final byte; or a byte that breaks the sequence off (read afresh below).
          S = B == 0x1B ? TOutText::Esc : TOutText::Text;
          if (B < 0x7F) {
            AOut += C;
            continue;
          }
        } else {
          S = TOutText::Csi;
        }
        break;
      case TOutText::Music:
        if (B == 0x0E) S = TOutText::Text;
        AOut += C;
        continue;
      case TOutText::String:
        if (B == 0x1B) S = TOutText::StringEsc;
        if (B == 0x07) S = TOutText::Text;
        AOut += C;
        continue;
      case TOutText::StringEsc:
        S = B == '\\' ? TOutText::Text : B == 0x1B ? TOutText::StringEsc : TOutText::String;
        AOut += C;
        continue;
    }
    if (B >= 0x80 && S == TOutText::Text) {
      AOut += Cp437Glyph(B, true);
    } else {
      AOut += C;
    }
  }
}

// What every open starts from; the caller's character set stays as it was chosen.
void Adopt(int32_t AIn, int AOut) {
  g.FCommNumber = AIn;
  g.FOutFd = AOut;
  g.FClosed = false;
  g.FOldFlags = -1;
  g.FLineEnd = TLineEnd::None;
  g.FTelnet = TTelnet::Data;
  g.FSbLen = 0;
  g.FUtf8In = TUtf8Decoder{};
  g.FOutText = TOutText::Text;
}

}  // namespace

const char *CommHandleProblem(int32_t AHandle) {
  if (AHandle < 0 || fcntl(AHandle, F_GETFD) == -1) return "is not open";
  if (!IsSocket(AHandle)) return "is not a socket";
  return nullptr;
}

void CommOpen(int32_t ACommNumber) {
  Adopt(ACommNumber, ACommNumber);
  g.FStdio = false;
  g.FSocket = IsSocket(ACommNumber);
  g.FOutSocket = g.FSocket;
  if (g.FSocket) {
    int Flags = fcntl(ACommNumber, F_GETFL);
    if (Flags >= 0) {
      g.FOldFlags = Flags;
      if (Flags & O_NONBLOCK) fcntl(ACommNumber, F_SETFL, Flags & ~O_NONBLOCK);
    }
  }
  CommWriteRaw(std::string_view("\xFF\xFB\x00", 3));  // IAC WILL TRANSMIT-BINARY
  CommWriteRaw(std::string_view("\xFF\xFB\x01", 3));  // IAC WILL ECHO
}

void CommOpenStdio() {
  Adopt(STDIN_FILENO, STDOUT_FILENO);
  g.FStdio = true;
  g.FSocket = false;
  g.FOutSocket = IsSocket(STDOUT_FILENO);
  // A board that closes its end of a pipe must not kill the door: the write fails instead,
  // and the caller counts as gone.
  if (!g.FOutSocket) signal(SIGPIPE, SIG_IGN);
}

void CommClose(bool ADisconnect) {
  CommFlushOutBuffer();
  if (g.FStdio) {
    // The standard handles stay open; the program's end lets them go.
    g.FClosed = true;
    return;
  }
  if (!Usable()) {
    // Never ours to close (not a socket, so maybe our own stdio), or closed already.
    g.FClosed = true;
    return;
  }
  // Shutting down drops the caller for the board too; only asked for explicitly.
  if (ADisconnect) shutdown(g.FCommNumber, SHUT_RDWR);
  // The flags belong to the open file the board shares with us: leave them as we found them.
  if (g.FOldFlags >= 0) fcntl(g.FCommNumber, F_SETFL, g.FOldFlags);
  close(g.FCommNumber);
  g.FClosed = true;
}

bool CommCarrier() { return g.FCarrier; }

bool CommCharAvail() {
  CommFlushOutBuffer();  // what was written goes out before the link looks for an answer
  if (BufferEmpty()) ReceiveData();
  return !BufferEmpty();
}

char CommPeekChar() {
  if (BufferEmpty() && !WaitForByte()) return 0;
  return g.FBuffer[g.FHead];
}

char CommReadChar() {
  if (BufferEmpty() && !WaitForByte()) return 0;
  return g.FBuffer[g.FHead++];
}

void CommWrite(std::string_view AText) {
  std::string Converted;
  if (g.FUtf8) {
    Converted.reserve(AText.size() + AText.size() / 2);
    AppendUtf8(AText, Converted);
    AText = Converted;
  }
  // A pty or a pipe is no telnet link: a byte 255 goes as it is.
  if (g.FStdio) {
    CommWriteRaw(AText);
    return;
  }
  if (g.FBuffered) {
    // The common case: a short text that fits, copied and searched for 0xFF in one pass.
    const size_t N = AText.size();
    if (N <= COMM_OUT_BUFFER_SIZE - g.FOutLen) {
      const char *In = AText.data();
      char *Out = g.FOut + g.FOutLen;
      size_t I = 0;
      while (I < N && In[I] != '\xFF') {
        Out[I] = In[I];
        I++;
      }
      if (I == N && Usable()) {
        g.FOutLen += N;
        return;
      }
    }
    Gather(AText.data(), AText.size(), true);
    return;
  }
  // Nearly every text holds no 0xFF: it goes out as it is, without a copy.
  size_t First = AText.find('\xFF');
  if (First == std::string_view::npos) {
    CommWriteRaw(AText);
    return;
  }
  std::string Escaped;
  Escaped.reserve(AText.size() + 16);
  Escaped.append(AText.substr(0, First));
  for (char C : AText.substr(First)) {
    Escaped.push_back(C);
    if (C == '\xFF') Escaped.push_back(C);  // IAC IAC: a data byte 255
  }
  CommWriteBlock(Escaped.data(), static_cast<int32_t>(std::min<size_t>(Escaped.size(), INT32_MAX)));
}

void CommWriteRaw(std::string_view AText) {
  CommWriteBlock(AText.data(), static_cast<int32_t>(std::min<size_t>(AText.size(), INT32_MAX)));
}

void CommWriteBlock(const void *Block, int32_t BlockLen) {
  if (BlockLen <= 0 || !Usable()) return;
  if (!g.FBuffered) {
    SendNow(static_cast<const char *>(Block), static_cast<size_t>(BlockLen));
    return;
  }
  Gather(static_cast<const char *>(Block), static_cast<size_t>(BlockLen), false);
}

void CommSetOutBuffer(bool AOn) {
  if (!AOn) CommFlushOutBuffer();
  g.FBuffered = AOn;
}

void CommFlushOutBuffer() {
  if (g.FOutLen == 0) return;
  // Taken out first: a signal acted on while the send waits may end the program, and the
  // exit hook writes (and flushes) again.
  char Out[COMM_OUT_BUFFER_SIZE];
  const size_t Len = g.FOutLen;
  std::memcpy(Out, g.FOut, Len);
  g.FOutLen = 0;
  if (Usable()) SendNow(Out, Len);
}

void CommPurgeOutBuffer() { g.FOutLen = 0; }

// A socket has no baud rate.
void CommSetBaud(int32_t ABaud) { (void)ABaud; }

void CommSetSendTimeout(uint32_t AMilliseconds) { g.FSendTimeout = AMilliseconds; }

void CommLoseCarrier() { g.FCarrier = false; }

void CommSetUtf8(bool AOn) {
  g.FUtf8 = AOn;
  g.FUtf8In = TUtf8Decoder{};
}

bool CommUtf8() { return g.FUtf8; }

void CommWindowSize(uint16_t &ACols, uint16_t &ARows) {
  ACols = g.FCols;
  ARows = g.FRows;
}

int CommWaitHandle() { return Usable() && g.FCarrier ? g.FCommNumber : -1; }

void (*CommOnSendWait)() = nullptr;

void CommReset() {
  g = State{};
  CommOnSendWait = nullptr;
}

size_t CommBuffered() { return g.FTail - g.FHead; }
