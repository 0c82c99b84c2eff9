// The link's and the console's waits, inside the process: a send that waits on a caller who
// takes nothing is bounded, the out-buffer sends a frame whole and in order, the waits for
// input sleep until something comes, and the board's hang-up ends the session as a lost
// carrier does.
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "test_door_fixture.h"

using namespace doortest;

namespace {

using TClock = std::chrono::steady_clock;

int gSendWaits = 0;

std::string Pattern(size_t ASize) {
  std::string S;
  for (size_t I = 0; I < ASize; I++) S.push_back(static_cast<char>('a' + I % 26));
  return S;
}

// A link straight on the comm module, on a socketpair with a small send buffer.
struct LinkWaitsTest : ::testing::Test {
  TNetPair Pair;
  void SetUp() override {
    CommReset();
    gSendWaits = 0;
    ASSERT_TRUE(NetSocketPair(Pair));
    int Small = 4096;
    setsockopt(Pair.Door, SOL_SOCKET, SO_SNDBUF, &Small, sizeof Small);
    setsockopt(Pair.Peer, SOL_SOCKET, SO_RCVBUF, &Small, sizeof Small);
    CommOpen(Pair.Door);
    ASSERT_EQ(NetRecv(Pair.Peer, 6).size(), 6u);
    CommOnSendWait = [] { gSendWaits++; };
  }
  void TearDown() override {
    CommClose(false);
    Pair.Door = -1;
    CommReset();
  }
};

TEST_F(LinkWaitsTest, ACallerWhoTakesNothingLosesTheCarrierAfterTheSendTimeOut) {
  CommSetSendTimeout(300);
  const auto Start = TClock::now();
  CommWriteRaw(Pattern(1 << 20));
  EXPECT_GE(TClock::now() - Start, std::chrono::milliseconds(300));
  EXPECT_FALSE(CommCarrier());
  EXPECT_GT(gSendWaits, 0) << "the program could act on signals meanwhile";
  EXPECT_EQ(CommWaitHandle(), -1) << "nothing to wait on any more";

  // From now on sends never wait: what the caller cannot take at once is dropped.
  gSendWaits = 0;
  CommWrite(Pattern(1 << 20));
  EXPECT_EQ(gSendWaits, 0);
}

TEST_F(LinkWaitsTest, ASlowCallerWhoKeepsReadingKeepsTheCarrier) {
  CommSetSendTimeout(200);
  const std::string Block = Pattern(256 << 10);
  std::string Got;
  std::thread Reader([&] {
    // 16 KB every 50 ms: the whole block takes far longer than the time-out.
    while (Got.size() < Block.size()) {
      std::string Part = NetRecv(Pair.Peer, std::min<size_t>(16384, Block.size() - Got.size()), 2000);
      if (Part.empty()) break;
      Got += Part;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  CommWriteRaw(Block);
  Reader.join();
  EXPECT_TRUE(CommCarrier());
  EXPECT_TRUE(Got == Block);
}

TEST_F(LinkWaitsTest, TheOutBufferSendsTheWritesTogetherAndInOrder) {
  CommSetOutBuffer(true);
  CommWrite("one ");
  CommWriteRaw("\xFF");
  CommWrite("\xFF two");
  EXPECT_FALSE(NetReadable(Pair.Peer, 20)) << "held until a flush";
  EXPECT_FALSE(CommCharAvail());  // the link looks for the caller's bytes: the writes go first
  EXPECT_EQ(NetRecv(Pair.Peer, 11), "one \xFF\xFF\xFF two");

  // Past the buffer's size the bytes go out as they come; the rest at the flush.
  const std::string Big = Pattern(COMM_OUT_BUFFER_SIZE * 3 + 100);
  std::string Got;
  std::thread Reader([&] { Got = NetRecv(Pair.Peer, Big.size(), 2000); });
  CommWrite(Big);
  CommFlushOutBuffer();
  Reader.join();
  EXPECT_TRUE(Got == Big);

  CommWrite("dropped");
  CommPurgeOutBuffer();
  CommWrite("last");
  CommClose(false);  // a close sends what is held
  Pair.Door = -1;
  EXPECT_EQ(NetRecv(Pair.Peer, 4), "last");
  EXPECT_EQ(NetRecv(Pair.Peer, 1, 100), "") << "nothing after it";
}

TEST_F(LinkWaitsTest, WaitsSleepUntilTheCallerSends) {
  ConsoleReset();
  std::thread Caller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    NetSend(Pair.Peer, "k");
  });
  const auto Start = TClock::now();
  for (int I = 0; I < 100 && !CommCharAvail(); I++) ConsoleWaitInput(CommWaitHandle(), 5000);
  const auto Took = TClock::now() - Start;
  Caller.join();
  EXPECT_EQ(CommReadChar(), 'k');
  EXPECT_LT(Took, std::chrono::seconds(4)) << "woken by the caller, not by the time-out";

  // No descriptor and nothing typed: the wait lasts its time.
  const auto Start2 = TClock::now();
  ConsoleWaitInput(-1, 150);
  EXPECT_GE(TClock::now() - Start2, std::chrono::milliseconds(140));
  ConsoleReset();
}

// --- the session on top ----------------------------------------------------------------

class DoorLinkWaitsTest : public DoorTest {};

TEST_F(DoorLinkWaitsTest, TheOutBufferGoesOutAtEveryKeyTestAndSleep) {
  StartLink();
  CommSetOutBuffer(true);
  DoorWrite("frame one");
  EXPECT_EQ(Caller(), "");
  DoorKeyPressed();
  EXPECT_EQ(Caller(), "frame one");
  DoorGotoXY(2, 2);
  Delay(25);
  EXPECT_EQ(Caller(), "\x1B[2;2f");
  DoorWrite("bye");
  DoorClose(false);
  Linked = false;
  Net.Door = -1;
  EXPECT_EQ(Caller(), "bye");
}

struct THungUp {};
TEST_F(DoorLinkWaitsTest, TheBoardsHangUpIsALostCarrier) {
  StartLink();
  DoorOnHangup = [] { throw THungUp{}; };
  ASSERT_TRUE(DoorCarrier());
  ASSERT_NE(ConsoleOnSignal, nullptr);
  EXPECT_THROW(ConsoleOnSignal(SIGHUP), THungUp);
  EXPECT_FALSE(DoorCarrier());
  EXPECT_EQ(CommWaitHandle(), -1);
  EXPECT_EQ(Caller(), "") << "the caller is gone: nothing is sent";
}

}  // namespace
