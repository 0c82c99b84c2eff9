// A UTF-8 caller's keys over arbitrary receives: the caller's bytes come through a real
// socketpair one receive at a time, with the link serving a UTF-8 caller. Whatever the cut
// (a character split between two receives, broken or overlong sequences, telnet commands in
// the middle of a character), what the door reads is the whole stream with telnet taken out,
// each character turned into its CP437 byte (none for a character CP437 lacks, nothing of a
// broken one), and the line ends folded.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "doorkit/comm.h"
#include "comm_internal.h"
#include "doorkit/stringutils.h"
#include "link_model.h"

namespace {

void Check(bool ACondition, const char *AWhat) {
  if (!ACondition) {
    std::fprintf(stderr, "broken: %s\n", AWhat);
    std::abort();
  }
}

}  // namespace

// Input: chunks, each a length byte (times 8, so receives past 1,024 bytes occur) and its bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  int Fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, Fds) != 0) std::abort();
  int SendBuf = 1 << 20;
  setsockopt(Fds[1], SOL_SOCKET, SO_SNDBUF, &SendBuf, sizeof(SendBuf));
  CommReset();
  CommOpen(Fds[0]);
  CommSetUtf8(true);
  char Announce[6];
  Check(recv(Fds[1], Announce, sizeof(Announce), MSG_DONTWAIT) == 6, "six announcement bytes");

  std::string Sent, Read;
  size_t I = 0;
  while (I < Size) {
    size_t Len = size_t{Data[I]} * 8;
    I++;
    Len = std::min(Len, Size - I);
    std::string Chunk(reinterpret_cast<const char *>(Data + I), Len);
    I += Len;
    if (Chunk.empty()) continue;
    if (send(Fds[1], Chunk.data(), Chunk.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(Chunk.size()))
      std::abort();
    Sent += Chunk;
    // Read until the socket holds nothing more: every byte of this chunk has been received.
    for (int Queued = 1; Queued > 0; ioctl(Fds[0], FIONREAD, &Queued)) {
      while (CommCharAvail()) {
        Check(CommBuffered() <= 1024, "one receive held at most");
        char C = CommPeekChar();
        Check(CommReadChar() == C, "peek and read agree");
        Read.push_back(C);
      }
    }
    Check(Read.find('\n') == std::string::npos, "no LF is ever read");
    Check(Read.size() <= Sent.size(), "never more bytes than came");
  }
  Check(Read == fuzzmodel::Fold(Utf8ToCp437(fuzzmodel::TelnetData(Sent))),
        "receives read as the whole stream: telnet out, UTF-8 to CP437, line ends folded");
  Check(CommCarrier(), "carrier kept while the caller is there");

  close(Fds[1]);
  Check(!CommCharAvail() && !CommCarrier(), "caller's close loses the carrier");
  CommClose(false);
  CommReset();
  return 0;
}
