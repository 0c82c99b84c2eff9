// The lean wire over whatever a door may write: text, sequences cut anywhere, strings,
// notes, modes, for a CP437 or a UTF-8 caller, with the link sending at any point. Nothing
// the model keeps may run past its screen or its buffers; off again, what it held goes out.
// The first byte chooses the caller's character set and how the rest is cut into writes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "comm_internal.h"
#include "doorkit/comm.h"

namespace {

void Drain(int AFd) {
  char Buf[65536];
  while (recv(AFd, Buf, sizeof Buf, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *AData, size_t ASize) {
  if (ASize < 1) return 0;
  int Fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, Fds) != 0) return 0;
  CommReset();
  CommSetSendTimeout(0);  // what the caller cannot take at once is dropped: no waits here
  CommOpen(Fds[0]);
  CommSetUtf8(AData[0] & 1);
  CommSetLean(true);
  const size_t Piece = 1 + (AData[0] >> 1) % 32;
  for (size_t At = 1; At < ASize; At += Piece) {
    const size_t N = ASize - At < Piece ? ASize - At : Piece;
    CommWrite(std::string_view(reinterpret_cast<const char *>(AData) + At, N));
    if (AData[At] & 0x80) CommFlushOutBuffer();
    Drain(Fds[1]);
  }
  CommSetLean(false);
  CommClose(false);
  Drain(Fds[1]);
  close(Fds[1]);
  CommReset();
  return 0;
}
