// The link on real sockets: the door end of a socketpair or of a loopback TCP connection is
// adopted by number, as a board hands it over; the peer end plays the caller's client.
#include <atomic>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "doorkit/comm.h"
#include "comm_internal.h"
#include "net.h"

namespace {

using namespace std::string_literals;

const std::string ANNOUNCE = "\xFF\xFB\x00\xFF\xFB\x01"s;

enum class TLinkKind { SocketPair, Tcp };

bool MakePair(TLinkKind AKind, TNetPair &APair) {
  return AKind == TLinkKind::Tcp ? NetTcpPair(APair) : NetSocketPair(APair);
}

bool IsOpenFd(int AFd) { return fcntl(AFd, F_GETFD) >= 0; }

int Queued(int AFd) {
  int N = -1;
  ioctl(AFd, FIONREAD, &N);
  return N;
}

// Waits (bounded) until at least ACount bytes wait on AFd, so one poll sees them all.
bool WaitQueued(int AFd, int ACount) {
  for (int I = 0; I < 2000 && Queued(AFd) < ACount; I++) usleep(1000);
  return Queued(AFd) >= ACount;
}

// One record of a SOCK_SEQPACKET socket: what one send of the door put on the wire.
std::string Record(int AFd) {
  char Buf[256];
  if (!NetReadable(AFd, 2000)) return "(nothing)";
  ssize_t N = recv(AFd, Buf, sizeof(Buf), 0);
  return N < 0 ? "(error)" : std::string(Buf, static_cast<size_t>(N));
}

// Everything the link has for the reader right now.
std::string Drain() {
  std::string Got;
  while (CommCharAvail()) {
    char Peeked = CommPeekChar();
    char Read = CommReadChar();
    EXPECT_EQ(Peeked, Read);
    Got.push_back(Read);
  }
  return Got;
}

std::string Hex(const std::string &AText) {
  static const char *const DIGITS = "0123456789ABCDEF";
  std::string Out;
  for (unsigned char C : AText) {
    Out += DIGITS[C >> 4];
    Out += DIGITS[C & 15];
    Out += ' ';
  }
  return Out;
}

struct CommTest : ::testing::TestWithParam<TLinkKind> {
  TNetPair Pair;
  void SetUp() override {
    CommReset();
    ASSERT_TRUE(MakePair(GetParam(), Pair));
  }
  void TearDown() override { CommReset(); }

  // Opens the link on the door end and takes the announcements off the wire.
  void Open() {
    CommOpen(Pair.Door);
    ASSERT_EQ(Hex(NetRecv(Pair.Peer, ANNOUNCE.size())), Hex(ANNOUNCE));
  }
  void CloseDoor(bool ADisconnect) {
    CommClose(ADisconnect);
    Pair.Door = -1;  // closed by the link; its number may be handed out again
  }
};

INSTANTIATE_TEST_SUITE_P(Link, CommTest, ::testing::Values(TLinkKind::SocketPair, TLinkKind::Tcp),
                         [](const auto &AInfo) {
                           return AInfo.param == TLinkKind::Tcp ? "Tcp"s : "SocketPair"s;
                         });

TEST(CommOpenTest, AnnouncesBinaryThenEchoInTwoSendsAndLeavesBlockingMode) {
  CommReset();
  TNetPair Pair;
  // SOCK_SEQPACKET keeps every send a record of its own.
  ASSERT_TRUE(NetSocketPair(Pair, SOCK_SEQPACKET));
  fcntl(Pair.Door, F_SETFL, fcntl(Pair.Door, F_GETFL) | O_NONBLOCK);
  int Board = dup(Pair.Door);  // the board's own descriptor shares the open socket
  EXPECT_TRUE(CommCarrier()) << "before any open";

  CommOpen(Pair.Door);
  EXPECT_EQ(Hex(Record(Pair.Peer)), Hex("\xFF\xFB\x00"s));
  EXPECT_EQ(Hex(Record(Pair.Peer)), Hex("\xFF\xFB\x01"s));
  EXPECT_FALSE(fcntl(Pair.Door, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(CommCarrier());

  // Each write is one send; empty ones send nothing at all.
  CommWrite("");
  CommWriteRaw("");
  CommWriteBlock("x", 0);
  CommWriteBlock("x", -5);
  CommWrite("A\xFF" "B");
  CommWriteRaw("A\xFF" "B");
  CommWriteBlock("\xFF\x00z", 3);
  CommFlushOutBuffer();
  CommPurgeOutBuffer();
  CommSetBaud(2400);
  CommWrite("\r\n\0"s);
  EXPECT_EQ(Hex(Record(Pair.Peer)), Hex("A\xFF\xFF" "B"s));
  EXPECT_EQ(Hex(Record(Pair.Peer)), Hex("A\xFF" "B"s));
  EXPECT_EQ(Hex(Record(Pair.Peer)), Hex("\xFF\x00z"s));
  EXPECT_EQ(Hex(Record(Pair.Peer)), Hex("\r\n\0"s));
  EXPECT_FALSE(NetReadable(Pair.Peer, 20));

  // The board gets its socket back as it handed it over.
  CommClose(false);
  Pair.Door = -1;
  EXPECT_TRUE(fcntl(Board, F_GETFL) & O_NONBLOCK);
  close(Board);
  CommReset();
}

// A fresh link of AKind; the caller sends AChunks, each waited for and read before the next,
// so that each one is a receive of its own (or several, past 1,024 bytes). What the door read.
std::string ReadThroughReceives(TLinkKind AKind, const std::vector<std::string> &AChunks) {
  CommReset();
  TNetPair P;
  if (!MakePair(AKind, P)) return "(no link)";
  CommOpen(P.Door);
  EXPECT_EQ(NetRecv(P.Peer, ANNOUNCE.size()), ANNOUNCE);
  std::string Got;
  for (const std::string &Chunk : AChunks) {
    if (!NetSend(P.Peer, Chunk) || !WaitQueued(P.Door, static_cast<int>(Chunk.size()))) return "(not sent)";
    // A receive of telnet alone leaves nothing to read: look again until the chunk is taken.
    do {
      Got += Drain();
      EXPECT_LE(CommBuffered(), 1024u);
    } while (Queued(P.Door) > 0);
  }
  EXPECT_TRUE(CommCarrier());
  CommClose(false);
  P.Door = -1;
  return Got;
}

struct TReceiveCase {
  const char *Name;
  std::vector<std::string> Chunks;  // one receive each
  std::string Expected;
};

TEST_P(CommTest, FoldsLineEndsReceiveByReceive) {
  const TReceiveCase kCases[] = {
      {"CR LF", {"hello\r\n"}, "hello\r"},
      {"CR NUL", {"a\r\0b"s}, "a\rb"},
      {"bare LF", {"a\nb"}, "a\rb"},
      {"CR LF LF", {"\r\n\n"}, "\r\r"},
      {"LF CR", {"\n\r"}, "\r\r"},
      {"CR NUL LF", {"\r\0\n"s}, "\r\r"},
      {"CR LF NUL", {"\r\n\0"s}, "\r"},
      {"CR CR LF", {"\r\r\n"}, "\r\r"},
      {"NUL not after CR", {"\0a\0"s}, "\0a\0"s},
      // A line end cut in two by the receives is still one line end.
      {"CR | LF", {"abc\r", "\ndef"}, "abc\rdef"},
      {"CR | NUL", {"abc\r", "\0def"s}, "abc\rdef"},
      {"CR LF | NUL", {"x\r\n", "\0y"s}, "x\ry"},
      {"CR | CR LF", {"\r", "\r\n"}, "\r\r"},
      {"CR | LF LF", {"\r", "\n\n"}, "\r\r"},
      {"LF | LF", {"\n", "\n"}, "\r\r"},
      {"CR | text", {"\r", "a\n"}, "\ra\r"},
  };
  for (const TReceiveCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    EXPECT_EQ(Hex(ReadThroughReceives(GetParam(), C.Chunks)), Hex(C.Expected));
  }
}

// A client's window-size report: IAC SB NAWS, width and height as 16 bits each with 0xFF
// doubled, IAC SE.
std::string Naws(int AWidth, int AHeight) {
  std::string S = "\xFF\xFA\x1F"s;
  for (int V : {AWidth >> 8, AWidth & 255, AHeight >> 8, AHeight & 255}) {
    S.push_back(static_cast<char>(V));
    if (V == 255) S.push_back('\xFF');
  }
  return S + "\xFF\xF0"s;
}

// What the client says in telnet is no key; IAC IAC is one data byte 255.
TEST_P(CommTest, DropsTheClientsTelnetCommands) {
  const TReceiveCase kCases[] = {
      {"reply to WILL BINARY", {"\xFF\xFD\x00"s}, ""},
      {"reply to WILL ECHO", {"\xFF\xFD\x01"s}, ""},
      {"refusals of both", {"a\xFF\xFE\x00\xFF\xFE\x01"s "b"}, "ab"},
      {"the client's own offers",
       {"\xFF\xFB\x1F"s "\xFF\xFB\x18"s "\xFF\xFD\x03"s "\xFF\xFB\x03"s "\xFF\xFC\x20"s "y"}, "y"},
      {"window 80 x 27: no ESC", {"a" + Naws(80, 27) + "b"}, "ab"},
      {"window 81 x 25: no Q", {Naws(81, 25) + "n"}, "n"},
      {"window 80 x 25: no P, no Ctrl-Y", {"x" + Naws(80, 25)}, "x"},
      {"window 255 x 511: IAC IAC inside", {Naws(255, 511) + "z"}, "z"},
      {"IAC IAC is a data byte 255", {"a\xFF\xFF"s "b\xFF\xFF\xFF\xFF"s}, "a\xFF" "b\xFF\xFF"s},
      {"two-byte commands",
       {"\xFF\xF1"s "a\xFF\xF9"s "b\xFF\xF6\xFF\xF2\xFF\xF3\xFF\xF4\xFF\xF5\xFF\xF7\xFF\xF8\xFF\xEF"s "c"}, "abc"},
      // A command cut in two by the receives is still taken whole.
      {"IAC | IAC", {"a\xFF"s, "\xFF" "b"s}, "a\xFF" "b"s},
      {"IAC | DO ECHO", {"a\xFF"s, "\xFD\x01"s "b"}, "ab"},
      {"IAC DO | ECHO", {"a\xFF\xFD"s, "\x01" "b"s}, "ab"},
      {"IAC | NOP", {"\xFF"s, "\xF1" "c"s}, "c"},
      {"IAC inside SB | SE", {"\xFF\xFA\x1F\x00\x50\x00\x1B\xFF"s, "\xF0" "q"s}, "q"},
      {"IAC at the end, nothing after", {"x\xFF"s}, "x"},
      // A subnegotiation that is still open swallows what comes, up to its SE; a client that
      // leaves the SE out and sends a command ends it there, and one that sends nothing of
      // the kind gets the caller's keys back after 64 bytes of it.
      {"unterminated SB, then keys and its SE", {"\xFF\xFA\x1F\x00\x50"s, "typed\r", "\x00\x1B\xFF\xF0"s "q"}, "q"},
      {"unterminated SB, then a command", {"\xFF\xFA\x1F\x00\x50"s, "\xFF\xFD\x01"s "q"}, "q"},
      {"unterminated SB, then IAC IAC", {"\xFF\xFA\x1F"s, "\xFF\xFF" "Q"s, "\xFF\xF0" "ok"s}, "ok"},
      {"SB split over receives", {"\xFF\xFA\x18"s, std::string(60, 'Q'), "\xFF\xF0" "ok"s}, "ok"},
      {"SB without an end, then keys", {"\xFF\xFA\x1F"s + std::string(63, '\0'), "typed"}, "typed"},
      {"SB without an end, hundreds of bytes", {"\xFF\xFA\x18"s + std::string(63, 'Q') + std::string(300, 'q')},
       std::string(300, 'q')},
      // Line ends are folded in the data that is left.
      {"CR NOP LF", {"a\r\xFF\xF1\n"s "b"}, "a\rb"},
      {"CR | window | NUL", {"a\r", Naws(80, 27), "\0b"s}, "a\rb"},
      {"IAC IAC LF", {"\xFF\xFF\n"s}, "\xFF\r"s},
      {"CR IAC IAC LF", {"\r\xFF\xFF\n"s}, "\r\xFF\r"s},
  };
  for (const TReceiveCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    EXPECT_EQ(Hex(ReadThroughReceives(GetParam(), C.Chunks)), Hex(C.Expected));
  }
}

// A session's worth of telnet and data, cut into two receives at every byte, and sent a
// byte per receive: what the door reads is the same whatever the cut.
TEST_P(CommTest, CommandsSplitAtEveryByteAreStillDropped) {
  const std::string Stream = "a\r\xFF\xF1\n"s "b\xFF\xFD\x01"s + Naws(81, 27) + "c\xFF\xFF" "d\xFF\xFB\x1F"s +
                             Naws(255, 25) + "\r\0" "e"s;
  const std::string Expected = "a\rbc\xFF" "d\re"s;
  for (size_t Cut = 1; Cut < Stream.size(); Cut++) {
    SCOPED_TRACE("cut at " + std::to_string(Cut));
    EXPECT_EQ(Hex(ReadThroughReceives(GetParam(), {Stream.substr(0, Cut), Stream.substr(Cut)})), Hex(Expected));
  }
  std::vector<std::string> Bytes;
  for (char C : Stream) Bytes.emplace_back(1, C);
  EXPECT_EQ(Hex(ReadThroughReceives(GetParam(), Bytes)), Hex(Expected)) << "a byte per receive";
}

// A receive that held only telnet is no key: the poll says so, and a waiting read goes on
// waiting for the caller's real key.
TEST_P(CommTest, AReceiveOfTelnetOnlyIsNoKey) {
  Open();
  ASSERT_TRUE(NetSend(Pair.Peer, "\xFF\xFD\x00\xFF\xFD\x01"s + Naws(80, 27)));
  ASSERT_TRUE(WaitQueued(Pair.Door, 15));
  EXPECT_FALSE(CommCharAvail());
  EXPECT_EQ(Queued(Pair.Door), 0) << "taken off the socket";
  EXPECT_EQ(CommBuffered(), 0u);
  std::thread Client([&] {
    usleep(30000);
    NetSend(Pair.Peer, Naws(81, 25));
    usleep(30000);
    NetSend(Pair.Peer, "k");
  });
  EXPECT_EQ(CommReadChar(), 'k');
  Client.join();
  EXPECT_TRUE(CommCarrier());
}

TEST_P(CommTest, PollsAtMost1024BytesAndOnlyWhenTheBufferIsEmpty) {
  Open();
  std::string Sent;
  for (int I = 0; I < 3000; I++) Sent.push_back(static_cast<char>('A' + I % 26));
  ASSERT_TRUE(NetSend(Pair.Peer, Sent));
  ASSERT_TRUE(WaitQueued(Pair.Door, 3000));

  EXPECT_TRUE(CommCharAvail());
  EXPECT_EQ(Queued(Pair.Door), 3000 - 1024);
  std::string Got;
  for (int I = 0; I < 1024; I++) {
    ASSERT_TRUE(CommCharAvail());
    Got.push_back(CommReadChar());
  }
  EXPECT_EQ(Queued(Pair.Door), 3000 - 1024) << "the socket is left alone while bytes are buffered";
  Got += Drain();
  EXPECT_EQ(Got, Sent);
  EXPECT_FALSE(CommCharAvail());
  EXPECT_TRUE(CommCarrier());
}

TEST_P(CommTest, OrderlyCloseLosesTheCarrierAfterTheBufferedBytes) {
  Open();
  ASSERT_TRUE(NetSend(Pair.Peer, "ab"));
  ASSERT_TRUE(WaitQueued(Pair.Door, 2));
  ASSERT_TRUE(CommCharAvail());  // "ab" now buffered
  NetClose(Pair.Peer);
  ASSERT_TRUE(NetReadable(Pair.Door, 2000));

  EXPECT_EQ(CommReadChar(), 'a');
  EXPECT_TRUE(CommCarrier());
  EXPECT_EQ(CommReadChar(), 'b');
  EXPECT_FALSE(CommCharAvail());
  EXPECT_FALSE(CommCarrier());
  EXPECT_FALSE(CommCharAvail());
  EXPECT_FALSE(CommCarrier()) << "nothing brings the carrier back";
  // The waiting reads give up instead of waiting for ever.
  EXPECT_EQ(CommReadChar(), '\0');
  EXPECT_EQ(CommPeekChar(), '\0');
  // The caller has gone: sending must not raise SIGPIPE and kill the door.
  auto OldPipe = std::signal(SIGPIPE, SIG_DFL);
  for (int I = 0; I < 20; I++) CommWrite(std::string(4096, 'x'));
  std::signal(SIGPIPE, OldPipe);
}

TEST_P(CommTest, BytesSentBeforeTheCloseAreStillRead) {
  Open();
  ASSERT_TRUE(NetSend(Pair.Peer, "bye\r\n"));
  NetClose(Pair.Peer);
  ASSERT_TRUE(NetReadable(Pair.Door, 2000));
  EXPECT_EQ(Drain(), "bye\r");
  EXPECT_FALSE(CommCarrier());
}

TEST(CommResetTest, ResetByTheCallerLosesTheCarrier) {
  CommReset();
  TNetPair Pair;
  ASSERT_TRUE(NetTcpPair(Pair));
  CommOpen(Pair.Door);
  ASSERT_EQ(NetRecv(Pair.Peer, ANNOUNCE.size()), ANNOUNCE);
  linger Hard{1, 0};  // close with a reset instead of a FIN
  ASSERT_EQ(setsockopt(Pair.Peer, SOL_SOCKET, SO_LINGER, &Hard, sizeof(Hard)), 0);
  NetClose(Pair.Peer);
  ASSERT_TRUE(NetReadable(Pair.Door, 2000));
  EXPECT_FALSE(CommCharAvail());
  EXPECT_FALSE(CommCarrier());
  CommReset();
}

TEST_P(CommTest, CloseWithoutShutdownLeavesTheCallerWithTheBoard) {
  int Board = dup(Pair.Door);
  ASSERT_GE(Board, 0);
  Open();
  CommWrite("door\r\n");
  CloseDoor(false);
  ASSERT_TRUE(NetSend(Board, "board\r\n"));
  EXPECT_EQ(NetRecv(Pair.Peer, 13), "door\r\nboard\r\n");
  ASSERT_TRUE(NetSend(Pair.Peer, "k"));
  EXPECT_EQ(NetRecv(Board, 1), "k");
  close(Board);
}

TEST_P(CommTest, CloseWithShutdownDropsTheConnection) {
  int Board = dup(Pair.Door);
  ASSERT_GE(Board, 0);
  Open();
  CloseDoor(true);
  ASSERT_TRUE(NetReadable(Pair.Peer, 2000));
  char C;
  EXPECT_EQ(recv(Pair.Peer, &C, 1, 0), 0) << "the caller sees the end of the stream";
  EXPECT_LT(send(Board, "x", 1, MSG_NOSIGNAL), 0) << "the board's descriptor is shut down too";
  close(Board);
}

TEST_P(CommTest, AfterCloseTheReusedNumberIsLeftAlone) {
  Open();
  const int Number = Pair.Door;
  CloseDoor(false);
  // Another connection of the process now gets the same number.
  TNetPair Other;
  ASSERT_TRUE(MakePair(GetParam(), Other));
  if (Other.Peer == Number) Other.Peer = dup(Other.Peer);  // the old number is freed by dup2
  if (Other.Door != Number) {
    ASSERT_EQ(dup2(Other.Door, Number), Number);
    close(Other.Door);
    Other.Door = Number;
  }

  CommWrite("exit hook\r\n");
  CommWriteRaw("raw");
  ASSERT_TRUE(NetSend(Other.Peer, "mine"));
  ASSERT_TRUE(WaitQueued(Other.Door, 4));
  EXPECT_FALSE(CommCharAvail());
  CommClose(false);
  CommClose(true);

  EXPECT_TRUE(IsOpenFd(Number));
  EXPECT_EQ(Queued(Other.Door), 4) << "the other connection's bytes were not taken";
  EXPECT_FALSE(NetReadable(Other.Peer, 20)) << "nothing sent to, nor shut down on, the other connection";
  ASSERT_TRUE(NetSend(Other.Door, "ok"));
  EXPECT_EQ(NetRecv(Other.Peer, 2), "ok");
}

TEST_P(CommTest, SignalsDuringWritesAndWaitsLoseNothing) {
  Open();
  // A timer signal every millisecond, without SA_RESTART, like a sysop resizing all the time.
  struct sigaction Act {};
  Act.sa_handler = [](int) {};
  struct sigaction OldAct {};
  sigaction(SIGALRM, &Act, &OldAct);
  itimerval Every{{0, 1000}, {0, 1000}};
  itimerval Off{};
  setitimer(ITIMER_REAL, &Every, nullptr);

  std::string Block;
  for (int I = 0; I < (4 << 20); I++) Block.push_back(static_cast<char>(I * 7 % 251));
  std::string Got;
  std::thread Client([&] {
    // A slow client: the door's sends fill the socket and wait, and are interrupted.
    while (Got.size() < Block.size()) {
      std::string Part = NetRecv(Pair.Peer, 65536, 2000);
      if (Part.empty()) break;
      Got += Part;
      usleep(200);
    }
    NetSend(Pair.Peer, "q");
  });
  CommWriteRaw(Block);
  char Key = CommReadChar();  // waits for the client's key through the signals
  Client.join();
  setitimer(ITIMER_REAL, &Off, nullptr);
  sigaction(SIGALRM, &OldAct, nullptr);

  EXPECT_EQ(Got.size(), Block.size());
  EXPECT_TRUE(Got == Block);
  EXPECT_EQ(Key, 'q');
  EXPECT_TRUE(CommCarrier());
}

// A handle that is not a socket (a serial port number in a drop file, say) is never
// written, read or closed; the first receive finds no carrier.
TEST(CommNotASocketTest, NothingReachesTheHandleAndTheCarrierGoes) {
  TTempDir Dir;
  int Pipe[2];
  ASSERT_EQ(pipe(Pipe), 0);
  int File = open(Dir.File("COM1").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(File, 0);
  int Closed = dup(File);
  close(Closed);
  struct TCase {
    const char *Name;
    int Handle;
  } const kCases[] = {{"pipe", Pipe[1]}, {"file", File}, {"minus one", -1}, {"closed number", Closed}};
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    CommReset();
    CommOpen(C.Handle);
    CommWrite("hello");
    CommWriteBlock("xyz", 3);
    EXPECT_TRUE(CommCarrier());
    EXPECT_FALSE(CommCharAvail());
    EXPECT_FALSE(CommCarrier());
    EXPECT_EQ(CommReadChar(), '\0');
    CommClose(false);
    CommClose(true);
    if (C.Handle < 0 || C.Handle == Closed) continue;
    EXPECT_TRUE(IsOpenFd(C.Handle));
  }
  EXPECT_FALSE(NetReadable(Pipe[0], 0));
  EXPECT_EQ(lseek(File, 0, SEEK_END), 0);
  close(Pipe[0]);
  close(Pipe[1]);
  close(File);
  CommReset();
}

// Handle 1 is the door's own standard output: the caller's bytes must never land there.
TEST(CommNotASocketTest, OwnStandardOutputIsNeverWrittenNorClosed) {
  int Pipe[2];
  ASSERT_EQ(pipe(Pipe), 0);
  pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    dup2(Pipe[1], 1);
    close(Pipe[0]);
    close(Pipe[1]);
    CommReset();
    CommOpen(1);
    CommWrite("caller's bytes");
    bool Avail = CommCharAvail();
    CommClose(false);
    CommClose(true);
    if (write(1, "still mine", 10) != 10) _exit(3);
    _exit(Avail || CommCarrier() ? 2 : 0);
  }
  close(Pipe[1]);
  std::string Out = NetRecv(Pipe[0], 100, 5000);
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  close(Pipe[0]);
  EXPECT_EQ(Out, "still mine");
  ASSERT_TRUE(WIFEXITED(Status));
  EXPECT_EQ(WEXITSTATUS(Status), 0);
}

}  // namespace
