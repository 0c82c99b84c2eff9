// The example door of examples/, built on the kit as a door writer builds on it, run under
// the test kit the way a board runs it: every way a board hands the caller over, drop files
// of every format, keys typed by the caller and by the sysop. What the test kit paints is
// checked against an independent terminal emulator too.
#include <gtest/gtest.h>

#include <string>

#include "boards/caller.h"
#include "doorkit/testkit.h"
#include "doorkit/version.h"

namespace {

constexpr const char *kQuestion = "What is your favourite colour? ";

struct TKeysCase {
  const char *Name;
  std::string Keys;
  const char *Answer;
};

// The field starts out holding the default text. Telnet replies to the door's
// announcements come first, as real clients send them.
const TKeysCase kKeys[] = {
    {"erased and typed", std::string("\xFF\xFD\x00\xFF\xFD\x01", 6) + "\x19green\r", "green"},
    {"backspaced and typed", "\b\b\b\bred\r", "red"},
    {"added to", "s\r", "blues"},
    {"enter takes the default", "\r\n", "blue"},
    {"escape gives the default", "x\x1b", "blue"},
};

TDoorTestOptions Hello(TDoorTestWay AWay, const std::string &ADropFile = "DOOR32.SYS") {
  TDoorTestOptions O;
  O.Program = VANTORAMA_HELLO_BIN;
  O.Way = AWay;
  O.DropFileName = ADropFile;
  O.Caller.RealName = "Test Caller";
  O.Caller.Alias = "Tester";
  O.Caller.Node = 1;
  O.Caller.Baud = 38400;
  O.Caller.MaxSeconds = 3600;
  return O;
}

// The greeting with the alias, in the pipe codes' colours, and the input field.
void ExpectGreetingAndField(TDoorTestRun &ARun, const std::string &AAlias) {
  ASSERT_TRUE(DoorTestShows(ARun, 1, 1, "Hello, " + AAlias + ", welcome to the door kit.")) << DoorTestRow(1);
  EXPECT_EQ(DoorTestCell(1, 1).Attr, 0x0F);
  if (!AAlias.empty()) {
    EXPECT_EQ(DoorTestCell(8, 1).Attr, 0x0E);
  }
  ASSERT_TRUE(DoorTestShows(ARun, 2, 1, kQuestion));
  EXPECT_EQ(DoorTestCell(1, 2).Attr, 0x0A);
  // 20 cells of white on blue holding the default text.
  EXPECT_TRUE(DoorTestShows(ARun, 2, 32, "blue                "));
  DoorTestPump(ARun, 200);
  EXPECT_EQ(DoorTestCell(32, 2).Attr, 0x1F);
  EXPECT_EQ(DoorTestCell(51, 2).Attr, 0x1F);
}

TEST(HelloExampleTest, GreetsAsksAndHandsTheCallerBack) {
  for (const TKeysCase &Case : kKeys) {
    SCOPED_TRACE(Case.Name);
    TDoorTestRun Run;
    ASSERT_TRUE(DoorTestStart(Run, Hello(twDropFile)));
    ExpectGreetingAndField(Run, "Tester");
    ASSERT_TRUE(DoorTestType(Run, Case.Keys));
    const std::string Said = std::string("You said ") + Case.Answer + ". Back to the board we go.";
    ASSERT_TRUE(DoorTestShows(Run, 3, 1, Said)) << DoorTestRow(2) << "\n" << DoorTestRow(3);
    EXPECT_EQ(DoorTestCell(10, 3).Attr, 0x0B);
    EXPECT_EQ(DoorTestCell(1, 3).Attr, 0x07);
    ASSERT_TRUE(DoorTestWait(Run, 10000));
    EXPECT_EQ(DoorTestExitCode(Run), 0);
    // Only the door's own handle was closed: the board still reaches the caller.
    EXPECT_TRUE(DoorTestCallerConnected(Run));

    // The same bytes on an independent terminal emulator show the same screen.
    boards::TTelnetCaller Vt;
    Vt.Receive(Run.Received);
    for (int Y = 1; Y <= 3; ++Y) {
      EXPECT_EQ(Vt.Row(Y), DoorTestRow(Y)) << "row " << Y;
      for (int X = 1; X <= 60; ++X) ASSERT_EQ(VtAttr(Vt.Vt, X, Y), DoorTestCell(X, Y).Attr) << X << "," << Y;
    }
  }
}

// Every way a board hands the caller over, and every drop-file format: the formats that
// name no socket run the door in stdio mode, on its terminal.
TEST(HelloExampleTest, EveryWayAndEveryDropFileReachesTheCaller) {
  struct TWayCase {
    const char *Name;
    TDoorTestWay Way;
    const char *DropFile;
    bool Tcp;
    const char *Alias;  // the handle as the format carries it
  };
  const TWayCase kWays[] = {
      {"DOOR32.SYS over TCP", twDropFile, "DOOR32.SYS", true, "Tester"},
      {"-N -S", twCommandLine, "", false, ""},
      {"INFO.1 naming the socket", twDropFile, "INFO.1", false, "Tester"},
      {"DOOR32.SYS with -X on a pty", twStdio, "DOOR32.SYS", false, "Tester"},
      {"DOOR.SYS", twStdio, "DOOR.SYS", false, "Tester"},
      {"DORINFO1.DEF", twStdio, "DORINFO1.DEF", false, "Test"},
      {"CHAIN.TXT", twStdio, "CHAIN.TXT", false, "Tester"},
      {"DOORFILE.SR", twStdio, "DOORFILE.SR", false, "Tester"},
      {"SFDOORS.DAT", twStdio, "SFDOORS.DAT", false, "Test"},
      {"CALLINFO.BBS", twStdio, "CALLINFO.BBS", false, "Test Caller"},
      {"TRIBBS.SYS", twStdio, "TRIBBS.SYS", false, "Tester"},
  };
  for (const TWayCase &Case : kWays) {
    SCOPED_TRACE(Case.Name);
    TDoorTestOptions O = Hello(Case.Way, Case.DropFile);
    O.Tcp = Case.Tcp;
    TDoorTestRun Run;
    ASSERT_TRUE(DoorTestStart(Run, O));
    ExpectGreetingAndField(Run, Case.Alias);
    ASSERT_TRUE(DoorTestType(Run, "\x19" "cyan\r"));
    ASSERT_TRUE(DoorTestShows(Run, 3, 1, "You said cyan. Back to the board we go.")) << DoorTestRow(3);
    ASSERT_TRUE(DoorTestWait(Run, 10000));
    EXPECT_EQ(DoorTestExitCode(Run), 0);
    EXPECT_TRUE(DoorTestCallerConnected(Run));
  }
}

// With a caller on the link, the sysop's keyboard types into the same field.
TEST(HelloExampleTest, TheSysopTypesForTheCaller) {
  TDoorTestRun Run;
  ASSERT_TRUE(DoorTestStart(Run, Hello(twDropFile)));
  ExpectGreetingAndField(Run, "Tester");
  ASSERT_TRUE(DoorTestTypeSysop(Run, "\x19gold\r"));
  ASSERT_TRUE(DoorTestShows(Run, 3, 1, "You said gold. Back to the board we go."));
  ASSERT_TRUE(DoorTestWait(Run, 10000));
  EXPECT_EQ(DoorTestExitCode(Run), 0);
  // The sysop's terminal showed the same, and the status bar with the kit's name.
  EXPECT_NE(Run.Terminal.find("gold"), std::string::npos);
  EXPECT_NE(Run.Terminal.find(DOORKIT_NAME " v" DOORKIT_VERSION), std::string::npos);
}

// The example's own test (examples/hello_test.cpp), as a door writer runs it.
TEST(HelloExampleTest, TheExamplesOwnTestPasses) {
  boards::TChild Own;
  ASSERT_TRUE(Own.Start({VANTORAMA_HELLO_TEST_BIN, VANTORAMA_HELLO_BIN}, ""));
  ASSERT_TRUE(Own.Wait(60000));
  EXPECT_TRUE(Own.ExitedWith(0)) << Own.Log;
  EXPECT_NE(Own.Log.find("hello_test: passed"), std::string::npos) << Own.Log;
}

}  // namespace
