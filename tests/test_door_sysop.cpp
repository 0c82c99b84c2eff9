// The sysop's keys inside the door: the door's own hook first, then the kit's, never the
// caller's; a watcher's keys and screen on its socket.
#include <cstdlib>

#include "console_watch.h"
#include "test_door_fixture.h"
#include "watch_wire.h"

using namespace doortest;

namespace {

constexpr char ALT_G[] = "\x1bg";  // the sysop's terminal sends Alt+G as ESC g
constexpr char ALT_T[] = "\x1bt";

class DoorSysopTest : public DoorTest {
 protected:
  TTempDir Runtime;  // the sockets of the sessions here, apart from any real door's
  void SetUp() override {
    setenv("XDG_RUNTIME_DIR", Runtime.Path.c_str(), 1);
    DoorTest::SetUp();
  }
  void TearDown() override {
    DoorTest::TearDown();
    unsetenv("XDG_RUNTIME_DIR");
  }
};

// Every message a watcher has been sent so far.
std::vector<std::pair<uint8_t, std::string>> Messages(int AFd, TWatchReader &AReader) {
  WatchFeed(AReader, TakeCaller(AFd));
  std::vector<std::pair<uint8_t, std::string>> Got;
  uint8_t Type;
  std::string_view Payload;
  while (WatchTake(AReader, Type, Payload) == 1) Got.emplace_back(Type, std::string(Payload));
  return Got;
}

TEST_F(DoorSysopTest, TimeKeysActAtOnceAndTheDoorsHookComesFirst) {
  StartLink();
  DoorKeyPressed();  // the first pump pass draws the status bar
  EXPECT_NE(Row(25).find("Left: 01:00:00"), std::string::npos) << Row(25);

  ConsolePushInput(ALT_G);
  EXPECT_FALSE(DoorKeyPressed()) << "a hot key never waits for the door";
  EXPECT_EQ(DoorDropInfo.MaxSeconds, 3900);
  EXPECT_NE(Row(25).find("Left: 01:05:00"), std::string::npos) << "shown at once: " << Row(25);
  ConsolePushInput(std::string(ALT_T) + ALT_T);
  EXPECT_FALSE(DoorKeyPressed());
  EXPECT_EQ(DoorDropInfo.MaxSeconds, 3300);

  // A door that binds Alt+G itself keeps it; the kit's other keys still work.
  static int taken = 0;
  taken = 0;
  DoorOnSysopKey = [](char AKey) { return AKey == 0x22 && ++taken > 0; };
  ConsolePushInput(std::string(ALT_G) + ALT_T + "x");
  EXPECT_EQ(DoorReadKey(), 'x');
  EXPECT_EQ(DoorLastKey.Location, lkSysop);
  EXPECT_EQ(taken, 1);
  EXPECT_EQ(DoorDropInfo.MaxSeconds, 3000);

  // The caller's own Alt+G is two plain keys, never the sysop's.
  Send(ALT_G);
  EXPECT_EQ(DoorReadKey(), '\x1b');
  EXPECT_EQ(DoorReadKey(), 'g');
  EXPECT_EQ(DoorDropInfo.MaxSeconds, 3000);
  EXPECT_TRUE(ConsoleWatchPath().ends_with("/doorkit/node1.sock")) << ConsoleWatchPath();
}

TEST_F(DoorSysopTest, AWatchersKeysAreTheSysopsAndItGetsTheScreen) {
  StartLink();
  TNetPair w;
  ASSERT_TRUE(NetSocketPair(w));
  ConsoleWatchAdopt(w.Door);
  w.Door = -1;  // the console's now
  DoorWrite("on the screen");
  std::string attach, keys;
  WatchPut(attach, WATCH_ATTACH, "");
  WatchPut(keys, WATCH_KEYS, std::string("\0\x22y\0", 4));  // Alt+G, y, and a cut-off key
  ASSERT_TRUE(NetSend(w.Peer, attach + keys));
  EXPECT_EQ(DoorReadKey(), 'y');
  EXPECT_EQ(DoorLastKey.Location, lkSysop);
  EXPECT_EQ(DoorDropInfo.MaxSeconds, 3900);
  EXPECT_FALSE(DoorKeyPressed());

  TWatchReader reader;
  auto got = Messages(w.Peer, reader);
  // Hello, the whole screen and the cursor; then the status bar again, with the time given.
  ASSERT_EQ(got.size(), 1u + CONSOLE_ROWS + 1u + 2u);
  int barRow = 0;
  TConsoleCell bar[CONSOLE_COLS];
  ASSERT_TRUE(WatchGetRow(got[27].second, barRow, bar));
  EXPECT_EQ(barRow, 25);
  TWatchHello hello;
  ASSERT_TRUE(WatchGetHello(got[0].second, hello));
  EXPECT_TRUE(hello.Limits) << "a link session keeps the caller's time";
  EXPECT_EQ(hello.Node, 1);
  TConsoleCell cells[CONSOLE_COLS];
  int y = 0;
  ASSERT_TRUE(WatchGetRow(got[1].second, y, cells));
  EXPECT_EQ(y, 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(&cells[0].Ch), 1), "o");

  // Then only what changes: one row and the cursor.
  DoorGotoXY(1, 5);
  DoorWrite("more");
  ConsoleFlush();
  got = Messages(w.Peer, reader);
  ASSERT_EQ(got.size(), 2u);
  ASSERT_TRUE(WatchGetRow(got[0].second, y, cells));
  EXPECT_EQ(y, 5);
  int x = 0;
  bool shown = false;
  ASSERT_TRUE(WatchGetCursor(got[1].second, x, y, shown));
  EXPECT_EQ(x, 5);
  EXPECT_EQ(y, 5);

  // A watcher that sends what the wire does not carry is let go.
  ASSERT_TRUE(NetSend(w.Peer, std::string("\x7f\xff\xff", 3)));
  usleep(150 * 1000);  // past the next look
  ConsoleFlush();
  EXPECT_TRUE(NetReadable(w.Peer, 1000));
  EXPECT_EQ(NetRecv(w.Peer, 1, 100), "");
}

TEST_F(DoorSysopTest, NoSocketWithP) {
  StartLink({"-P"});
  EXPECT_EQ(ConsoleWatchPath(), "");
}

}  // namespace
