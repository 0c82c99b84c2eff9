#include "comm.h"

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "comm_internal.h"

namespace {

constexpr size_t RECEIVE_SIZE = 1024;

// What the last receive ended with, so that a line end split over two receives
// still folds to one CR.
enum class TLineEnd : uint8_t {
  None,
  CR,    // a CR: an LF or NUL right after it belongs to it
  CRLF,  // a CR LF: a NUL right after it belongs to it as well
};

struct State {
  std::string FBuffer;
  bool FCarrier = true;
  int32_t FCommNumber = -1;
  bool FSocket = false;   // the handle was a socket when adopted: the only case we touch it
  bool FClosed = false;   // closed by us: the number may belong to someone else now
  int FOldFlags = -1;     // the board's file-status flags, put back at close
  TLineEnd FLineEnd = TLineEnd::None;
};
State g;

bool IsSocket(int AHandle) {
  if (AHandle < 0) return false;
  int Type = 0;
  socklen_t Len = sizeof(Type);
  return getsockopt(AHandle, SOL_SOCKET, SO_TYPE, &Type, &Len) == 0;
}

// Telnet's line ends (CR LF, CR NUL, a bare LF) become one CR; everything else,
// telnet commands included, is delivered as it came.
void FoldInto(std::string &AOut, const char *AData, size_t ALen) {
  for (size_t I = 0; I < ALen; I++) {
    char C = AData[I];
    if (g.FLineEnd == TLineEnd::CR && C == '\n') {
      g.FLineEnd = TLineEnd::CRLF;
      continue;
    }
    if (g.FLineEnd != TLineEnd::None && C == '\0') {
      g.FLineEnd = TLineEnd::None;
      continue;
    }
    g.FLineEnd = TLineEnd::None;
    if (C == '\r') {
      g.FLineEnd = TLineEnd::CR;
    } else if (C == '\n') {
      C = '\r';
    }
    AOut.push_back(C);
  }
}

bool Usable() { return g.FSocket && !g.FClosed; }

// One poll of the socket; only called with an empty buffer.
void ReceiveData() {
  if (g.FClosed) return;
  if (!g.FSocket) {
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
    // Never block here: the board may share the socket and take the bytes first.
    NumRead = recv(g.FCommNumber, ReadArray, sizeof(ReadArray), MSG_DONTWAIT);
  } while (NumRead < 0 && errno == EINTR);
  if (NumRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (NumRead <= 0) {
    g.FCarrier = false;
    return;
  }
  FoldInto(g.FBuffer, ReadArray, static_cast<size_t>(NumRead));
}

// The waiting reads; they give up with 0 once nothing can arrive any more.
bool WaitForByte() {
  while (g.FBuffer.empty()) {
    if (!g.FCarrier || !Usable()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ReceiveData();
  }
  return true;
}

}  // namespace

void CommOpen(int32_t ACommNumber) {
  g.FCommNumber = ACommNumber;
  g.FClosed = false;
  g.FSocket = IsSocket(ACommNumber);
  g.FOldFlags = -1;
  if (g.FSocket) {
    int Flags = fcntl(ACommNumber, F_GETFL);
    if (Flags >= 0) {
      g.FOldFlags = Flags;
      if (Flags & O_NONBLOCK) fcntl(ACommNumber, F_SETFL, Flags & ~O_NONBLOCK);
    }
  }
  g.FLineEnd = TLineEnd::None;
  CommWriteRaw(std::string_view("\xFF\xFB\x00", 3));  // IAC WILL TRANSMIT-BINARY
  CommWriteRaw(std::string_view("\xFF\xFB\x01", 3));  // IAC WILL ECHO
}

void CommClose(bool ADisconnect) {
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
  if (g.FBuffer.empty()) ReceiveData();
  return !g.FBuffer.empty();
}

char CommPeekChar() {
  if (!WaitForByte()) return 0;
  return g.FBuffer.front();
}

char CommReadChar() {
  if (!WaitForByte()) return 0;
  char C = g.FBuffer.front();
  g.FBuffer.erase(0, 1);
  return C;
}

void CommWrite(std::string_view AText) {
  std::string Escaped;
  Escaped.reserve(AText.size());
  for (char C : AText) {
    Escaped.push_back(C);
    if (C == '\xFF') Escaped.push_back(C);  // IAC IAC: a data byte 255
  }
  CommWriteBlock(Escaped.data(), static_cast<int32_t>(Escaped.size()));
}

void CommWriteRaw(std::string_view AText) {
  CommWriteBlock(AText.data(), static_cast<int32_t>(AText.size()));
}

void CommWriteBlock(const void *Block, int32_t BlockLen) {
  if (BlockLen <= 0 || !Usable()) return;
  const char *P = static_cast<const char *>(Block);
  size_t Left = static_cast<size_t>(BlockLen);
  // One send as a rule; the loop only finishes a send that a signal cut short.
  // MSG_NOSIGNAL: a caller who has hung up must not kill the door with SIGPIPE.
  while (Left > 0) {
    ssize_t Sent = send(g.FCommNumber, P, Left, MSG_NOSIGNAL);
    if (Sent < 0) {
      if (errno == EINTR) continue;
      return;
    }
    P += Sent;
    Left -= static_cast<size_t>(Sent);
  }
}

// A socket has no baud rate and the link keeps no out-buffer of its own.
void CommFlushOutBuffer() {}
void CommPurgeOutBuffer() {}
void CommSetBaud(int32_t ABaud) { (void)ABaud; }

void CommReset() { g = State{}; }
