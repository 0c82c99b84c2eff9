// Start-up: the switches, the three ways of running, and every end of the program.
#include <pty.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "test_door_fixture.h"

using namespace doortest;

namespace {

// --- the switches -------------------------------------------------------------------

struct TClp {
  char Key;
  std::string Value;
};
std::vector<TClp> gClp;
void RecordClp(char AKey, const std::string &AValue) { gClp.push_back({AKey, AValue}); }
bool gLoginRan = false;
void RecordLogin() { gLoginRan = true; }

class DoorStartupTest : public DoorTest {
 protected:
  TTempDir Dir;
  void SetUp() override {
    DoorTest::SetUp();
    gClp.clear();
    gLoginRan = false;
    DoorOnLocalLogin = RecordLogin;
    DoorOnCLP = RecordClp;
  }
  void TearDown() override {
    if (!DoorStdio()) {
      DoorClose(false);
      Net.Door = -1;
    }
    DoorTest::TearDown();
  }
  std::string Door32(const std::string &AName, const std::string &AType, const std::string &AHandle) {
    return Dir.Write(AName, AType + "\r\n" + AHandle +
                                "\r\n38400\r\nBoard\r\n5\r\nDrop Real\r\nDropAlias\r\n30\r\n45\r\n1\r\n3\r\n");
  }
};

TEST_F(DoorStartupTest, SwitchTable) {
  ASSERT_TRUE(NetSocketPair(Net));
  const std::string fd = std::to_string(Net.Door);
  for (const char *folder : {"INFO.BBS", "type0", "t2", "t3", "lower", "CHAIN.TXT"})
    std::filesystem::create_directory(Dir.File(folder));
  std::string doorSys = "COM0:\r\n38400\r\n8\r\n7\r\n";
  for (int line = 5; line <= 52; line++) doorSys += "x\r\n";
  Dir.Write("INFO.BBS/DOOR.SYS", doorSys);
  const std::string type0 = Door32("type0/DOOR32.SYS", "0", fd);  // as Envy writes it: a live socket
  const std::string type2 = Door32("t2/DOOR32.SYS", "2", fd);
  const std::string type3 = Door32("t3/DOOR32.SYS", "3", fd);
  const std::string lower = Door32("lower/door32.sys", "0", "-1");
  std::string huge(300, '9');
  std::string callInfo;
  for (int line = 1; line <= 36; line++) callInfo += (line == 1 ? "Jane Caller" : line == 35 ? "4" : "1") + std::string("\n");
  const std::string lowerCallInfo = Dir.Write("callinfo.bbs", callInfo);
  const std::string infoInChain = Dir.Write("CHAIN.TXT/INFO.1", "0\r\n3\r\n\r\n\r\n30\r\nInfoAlias\r\n");

  struct {
    const char *Name;
    std::vector<std::string> Args;
    bool Stdio;
    int32_t Node;
    int ComType;
    bool Login;
    std::string Alias;
    std::vector<std::string> Clp;  // letter followed by value
  } kCases[] = {
      {"no arguments: local", {}, true, 0, 0, true, "", {}},
      {"-N5 alone: local with node 5", {"-N5"}, true, 5, 0, true, "", {}},
      {"-L alone is local, and handed on", {"-L"}, true, 0, 0, true, "", {"L"}},
      {"other letters handed on, value keeps its case",
       {"-qMiXed", "/z", "-Lx"}, true, 0, 0, true, "", {"QMiXed", "Z", "Lx"}},
      {"a lone dash and a bare word are ignored", {"-", "DOOR32.SYS", "", "/"}, true, 0, 0, true, "", {}},
      {"non-numeric and huge node give 0", {"-Nabc", "-N" + huge}, true, 0, 0, true, "", {}},
      {"empty -N gives 0", {"-N7", "-N"}, true, 0, 0, true, "", {}},
      {"socket on the command line", {"-N1", "-S" + fd}, false, 1, 2, false, "", {}},
      {"slash prefix and lower case", {"/n2", "/s" + fd}, false, 2, 2, false, "", {}},
      {"-E, the lean wire, is the kit's own", {"-N1", "-S" + fd, "-e"}, false, 1, 2, false, "", {}},
      {"-E alone: local, nothing handed on", {"/E"}, true, 0, 0, true, "", {}},
      {"command-line socket wins over a drop file", {"-N1", "-S" + fd, "-D" + type2}, false, 1, 2, false, "", {}},
      {"-? does not stop a socket session", {"/?", "-N1", "-S" + fd}, false, 1, 2, false, "", {}},
      {"later switch of a letter wins", {"-N9", "-S" + fd, "-N3"}, false, 3, 2, false, "", {}},
      {"non-numeric -S falls back to the drop file", {"-N1", "-Sabc", "-D" + type0}, true, 3, 0, false, "DropAlias", {}},
      {"DOOR32.SYS type 0 with a live socket: stdio", {"-D" + type0}, true, 3, 0, false, "DropAlias", {}},
      {"DOOR32.SYS type 2: link", {"-D" + type2}, false, 3, 2, false, "DropAlias", {}},
      {"DOOR32.SYS type 2 with -X: stdio", {"-x", "-D" + type2}, true, 3, 2, false, "DropAlias", {}},
      {"DOOR32.SYS type 3: stdio", {"-D" + type3}, true, 3, 3, false, "DropAlias", {}},
      {"drop-file name case is ignored", {"-d" + lower}, true, 3, 0, false, "DropAlias", {}},
      {"DOOR.SYS test comes before INFO.", {"-D" + Dir.File("INFO.BBS/DOOR.SYS")}, true, 7, 0, false, "x", {}},
      {"callinfo.bbs has its own reader, not INFO.'s", {"-D" + lowerCallInfo}, true, 4, 0, false, "Jane Caller", {}},
      {"a folder's name picks no format", {"-X", "-D" + infoInChain}, true, 0, 1, false, "InfoAlias", {}},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.Name);
    ResetModules();
    gClp.clear();
    gLoginRan = false;
    DoorOnLocalLogin = RecordLogin;
    DoorOnCLP = RecordClp;
    Startup(c.Args);
    EXPECT_EQ(DoorStdio(), c.Stdio);
    EXPECT_EQ(DoorDropInfo.Node, c.Node);
    EXPECT_EQ(DoorDropInfo.ComType, c.ComType);
    if (!c.Stdio) {
      EXPECT_EQ(DoorDropInfo.ComNum, Net.Door);
      EXPECT_TRUE(DoorSession.Events);
      EXPECT_EQ(WindMax() >> 8, 23) << "row 25 is left to the status bar";
    } else {
      EXPECT_FALSE(DoorSession.Events);
      EXPECT_EQ(WindMax() >> 8, 24);
    }
    EXPECT_EQ(gLoginRan, c.Login);
    EXPECT_EQ(DoorDropInfo.Alias, c.Alias);
    std::vector<std::string> clp;
    for (const TClp &k : gClp) clp.push_back(std::string(1, k.Key) + k.Value);
    EXPECT_EQ(clp, c.Clp);
    EXPECT_EQ(DoorSession.TimeOn, FakeNow());
    EXPECT_EQ(DoorLastKey.Time, FakeNow());
    // Stdio sessions never touch the socket, even when a drop file names a live one.
    std::string wire = TakeCaller(Net.Peer);
    if (c.Stdio) EXPECT_EQ(wire, "") << Escaped(wire);
    else EXPECT_EQ(wire.substr(0, 6), std::string("\xFF\xFB\x00\xFF\xFB\x01", 6));
    if (!c.Stdio) {
      // The door closed its handle: a fresh caller, on the same number the drop files name.
      DoorClose(false);
      Net.Door = -1;
      NetClose(Net.Peer);
      ASSERT_TRUE(NetSocketPair(Net));
      ASSERT_EQ(std::to_string(Net.Door), fd) << "the test relies on the number coming back";
    }
  }
}

TEST_F(DoorStartupTest, ThousandsOfArguments) {
  std::vector<std::string> args;
  for (int i = 0; i < 5000; i++) {
    static const char *junk[] = {"-Zjunk", "x", "-", "/", "-N", "", "-N99999999999", "--", "-\xFF"};
    args.push_back(junk[i % 9]);
  }
  Startup(args);
  EXPECT_TRUE(DoorStdio());
  EXPECT_TRUE(gLoginRan);
  EXPECT_EQ(DoorDropInfo.Node, 0);
  EXPECT_EQ(gClp.size(), 5000u / 9 * 3 + 1);  // -Z, --, -\xFF
}

TEST_F(DoorStartupTest, DateTimesAreLocalWallClockDays) {
  DoorSetClock(nullptr);
  time_t before = time(nullptr);
  Startup({});
  std::tm local{};
  localtime_r(&before, &local);
  double expected = (static_cast<double>(before) + static_cast<double>(local.tm_gmtoff)) / 86400.0 + 25569.0;
  EXPECT_NEAR(DoorSession.TimeOn, expected, 3.0 / 86400.0);
  EXPECT_EQ(DoorSecondsIdle(), 0);
  EXPECT_EQ(DoorSecondsLeft(), 3600);
}

// The kit's own login screen, watched just before start-up clears it away.
std::vector<std::string> gLoginRows;
uint8_t gLoginBarAttr, gLoginFieldAttr;
void (*gDefaultLogin)() = nullptr;
void WatchedLogin() {
  gDefaultLogin();
  gLoginRows.clear();
  for (int y = 1; y <= 10; y++) gLoginRows.push_back(RowTrimmed(y));
  gLoginBarAttr = ConsoleCell(3, 3).Attr;
  gLoginFieldAttr = ConsoleCell(20, 9).Attr;
}

TEST_F(DoorStartupTest, LocalLoginScreen) {
  ResetModules();  // the default hooks again
  gDefaultLogin = DoorOnLocalLogin;
  DoorOnLocalLogin = WatchedLogin;
  // Erasing the default and pressing Enter gives an empty name: the prompt comes again.
  ConsolePushInput("\x19\r\x19Jo Sysop\r");
  Startup({"-N4"});
  EXPECT_EQ(DoorDropInfo.RealName, "Jo Sysop");
  EXPECT_EQ(DoorDropInfo.Alias, "Jo Sysop");
  EXPECT_EQ(DoorDropInfo.Node, 4);
  const std::vector<std::string> kScreen = {
      "",
      "",
      "    LOCAL LOGIN - FOR NODE 4",
      "",
      "",
      "  Run testdoor /? for command-line usage help",
      "",
      "  Name or handle :",
      "  Name or handle : Jo Sysop",
      "",
  };
  EXPECT_EQ(gLoginRows, kScreen);
  EXPECT_EQ(gLoginBarAttr, 0x1F);
  EXPECT_EQ(gLoginFieldAttr, 0x1F);
  for (int y = 1; y <= 25; y++) EXPECT_EQ(RowTrimmed(y), "") << "cleared after the login, row " << y;
  EXPECT_TRUE(DoorStdio());
  EXPECT_FALSE(DoorSession.Events);
}

TEST_F(DoorStartupTest, LocalLoginEscapeTakesTheDefaultName) {
  ResetModules();
  ConsolePushInput("Jo\x1b");
  Startup({});
  EXPECT_EQ(DoorDropInfo.RealName, "SYSOP");
}

// --- the ends of the program ----------------------------------------------------------

// Set by a test before the end: the caller's end of the link, to read what reached it.
int gExitPeer = -1;
int gReused = -1;
int gSysopTerminal = -1;  // master side of a pseudo-terminal the console drew on

// Where the sysop's terminal had its cursor just before the console restored it.
std::string SysopTerminalReport() {
  std::string seen;
  char buf[4096];
  fcntl(gSysopTerminal, F_SETFL, O_NONBLOCK);
  for (ssize_t n; (n = read(gSysopTerminal, buf, sizeof buf)) > 0;) seen.append(buf, static_cast<size_t>(n));
  // (The terminal may turn the goodbye's line end into CR LF; the part before it is enough.)
  std::string goodbyeText = ConsoleGoodbyeText();
  size_t goodbye = seen.rfind(goodbyeText.substr(0, goodbyeText.find_first_of("\r\n")));
  if (goodbye == std::string::npos) return "[sysop terminal: no goodbye in " + Escaped(seen) + "]\n";
  TCallerScreen screen;  // the same kind of emulator stands in for the sysop's terminal
  screen.Feed(std::string_view(seen).substr(0, goodbye));
  VTermPos pos = screen.Cursor();
  return "[sysop cursor before goodbye " + std::to_string(pos.col + 1) + "," + std::to_string(pos.row + 1) + "]\n";
}

// Runs after the kit's own exit hook (registered before it) and reports to the parent.
void DumpAtExit() {
  std::string out = "\n[screen]\n";
  for (int y = 1; y <= 25; y++) {
    std::string r = RowTrimmed(y);
    if (!r.empty()) out += std::to_string(y) + ":" + r + "\n";
  }
  out += "[cursor " + std::to_string(ConsoleCursorX()) + "," + std::to_string(ConsoleCursorY()) + "]\n";
  char attr[8];
  std::snprintf(attr, sizeof attr, "%02X", TextAttr);
  out += std::string("[attr ") + attr + "]\n";
  out += "[slept " + std::to_string(gSlept) + "]\n";
  if (gExitPeer >= 0) {
    out += "[caller " + Escaped(TakeCaller(gExitPeer)) + "]\n";
    char b;
    ssize_t n = recv(gExitPeer, &b, 1, MSG_DONTWAIT);
    out += n == 0 ? "[caller hung up]\n" : "[caller still connected]\n";
  }
  if (gSysopTerminal >= 0) out += SysopTerminalReport();
  if (gReused >= 0) out += fcntl(gReused, F_GETFD) >= 0 ? "[reused handle open]\n" : "[reused handle closed]\n";
  std::fputs(out.c_str(), stderr);
}

// Every part, in this order, somewhere in the child's report.
class HasAllInOrder : public ::testing::MatcherInterface<const std::string &> {
 public:
  explicit HasAllInOrder(std::vector<std::string> AParts) : Parts(std::move(AParts)) {}
  bool MatchAndExplain(const std::string &AText, ::testing::MatchResultListener *AListener) const override {
    size_t at = 0;
    for (const std::string &part : Parts) {
      size_t found = AText.find(part, at);
      if (found == std::string::npos) {
        *AListener << "missing (in order): " << part;
        return false;
      }
      at = found + part.size();
    }
    return true;
  }
  void DescribeTo(std::ostream *AOut) const override {
    *AOut << "has, in order:";
    for (const std::string &part : Parts) *AOut << " [" << part << "]";
  }

 private:
  std::vector<std::string> Parts;
};
::testing::Matcher<const std::string &> Reports(std::vector<std::string> AParts) {
  return ::testing::MakeMatcher(new HasAllInOrder(std::move(AParts)));
}

class DoorExitTest : public DoorTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DoorTest::SetUp();
  }
};

#define EXPECT_DOOR_END(statement, ...)                                        \
  EXPECT_EXIT(                                                                 \
      {                                                                        \
        std::atexit(DumpAtExit);                                               \
        statement;                                                             \
        std::exit(99);                                                         \
      },                                                                       \
      ::testing::ExitedWithCode(0), Reports({__VA_ARGS__}))

TEST_F(DoorExitTest, StartupFailures) {
  TTempDir dir;
  const std::string unread = dir.Write("PCBOARD.SYS", "2\r\n5\r\n");  // a format the kit does not read
  const std::string badHandle =
      dir.Write("DOOR32.SYS", "2\r\n-1\r\n38400\r\nBoard\r\n5\r\nA B\r\nAB\r\n30\r\n45\r\n1\r\n3\r\n");
  EXPECT_DOOR_END(Startup({"-D/no/such/folder/DOOR32.SYS"}),
                  "[screen]\n2:  Drop File Does Not Exist Or Is Not Supported:\n3:  /no/such/folder/DOOR32.SYS\n",
                  "[slept 2500]");
  // (The child makes its own folder, so only the file name part is known here.)
  EXPECT_DOOR_END(Startup({"-D" + unread}), "2:  Drop File Does Not Exist Or Is Not Supported:\n3:  /",
                  "/PCBOARD.SYS\n", "[slept 2500]");
  EXPECT_DOOR_END(Startup({"-D" + badHandle}), "2:  Invalid comm number: -1\n", "[slept 2500]");

  // A link handle that is no socket is named as the problem it is, not taken for a caller
  // who dropped carrier.
  EXPECT_DOOR_END(Startup({"-N1", "-S99"}), "2:  Invalid comm number: 99\n3:  Descriptor 99 is not open",
                  "[slept 2500]");
  EXPECT_DOOR_END(
      {
        int file = open("/dev/null", O_RDONLY);
        Startup({"-N1", "-S" + std::to_string(file)});
      },
      "2:  Invalid comm number: ", "is not a socket", "[slept 2500]");
  // A serial port number is never a descriptor of the door's own: with standard output a
  // socket (a journal, inetd), DOOR.SYS's COM1: would send the telnet announce there. The
  // message alone goes there, as plain lines, where no terminal shows it.
  const std::string com1 = dir.Write("DOOR.SYS", "COM1:\r\n");
  EXPECT_DOOR_END(
      {
        ASSERT_TRUE(NetSocketPair(Net));
        dup2(Net.Door, STDOUT_FILENO);
        gExitPeer = Net.Peer;
        Startup({"-D" + com1});
      },
      "2:  Invalid comm number: 1\n3:  COM1 is a serial port; descriptor 1 is the door's own standard output.\n",
      "[slept 2500]", "[caller \\r\\n  Invalid comm number: 1\\r\\n  COM1 is a serial port",
      "[caller still connected]");
}

// Its lines fill the screen and one more: the blank line above USAGE scrolls away.
TEST_F(DoorExitTest, UsageScreen) {
  // Twenty-five lines and a line end: the first, blank line scrolls away.
  EXPECT_DOOR_END(Startup({"-?"}),
                  "1: USAGE: testdoor <PARAMETERS>\n",
                  "3: Load settings from a dropfile (DOOR32.SYS, DOOR.SYS, DORINFO*.DEF or INFO.*)\n"
                  "4:  -D         PATH\\FILENAME OF DROPFILE\n"
                  "5: Example: testdoor -D/sbbs/node1/DOOR32.SYS\n"
                  "7: Pass settings on command-line\n"
                  "8:  -N         NODE NUMBER\n"
                  "9:  -S         SOCKET HANDLE\n"
                  "10: Example: testdoor -N1 -S1000\n"
                  "12: Run in local mode\n"
                  "13:  -L         LOCAL MODE\n"
                  "14: Example: testdoor -L\n"
                  "16: Optional parameters\n"
                  "17:  -X         DISABLE COMM ROUTINES (STDIO MODE)\n"
                  "18:  -U         UTF-8 CALLER (CP437 OTHERWISE)\n"
                  "19:  -A         ASK THE CALLER'S TERMINAL: UTF-8 OR CP437\n"
                  "20:  -W         ASK THE CALLER'S WINDOW SIZE\n"
                  "21:  -C         CHECK: SHOW WHAT THE DOOR GOT AND WOULD DO, THEN EXIT\n"
                  "22:  -H         THIS SCREEN (ALSO -? AND --HELP)\n"
                  "23:  -P         NO SYSOP'S VIEW (DOORWATCH CANNOT WATCH THIS NODE)\n"
                  "24:  -E         LEAN WIRE: SEND THE CALLER ONLY WHAT CHANGED (SLOW LINKS)\n",
                  "[slept 0]");
  // The sysop's habits from every other program: -h, --help, in either case and prefix.
  for (const char *help : {"-h", "/H", "--help", "--HELP"}) {
    SCOPED_TRACE(help);
    EXPECT_DOOR_END(Startup({help}), "1: USAGE: testdoor <PARAMETERS>\n", "[slept 0]");
  }
  EXPECT_NE(std::string(DOOR_KIT_SWITCHES).find('H'), std::string::npos);
  // Command lines that name no way to run.
  const std::vector<std::string> kNoWay[] = {
      {"-S1000"}, {"-N1", "-Sabc"}, {"-N0", "-S5"}, {"-N-3", "-S5"}, {"-N1", "-S"},
      {"-D"},     {"-N1", "-S99999999999"},     {"/?", "-L"},
  };
  for (const auto &args : kNoWay) {
    SCOPED_TRACE(args.front());
    EXPECT_DOOR_END(Startup(args), "1: USAGE: testdoor <PARAMETERS>\n", "[slept 0]");
  }
}

TEST_F(DoorExitTest, NormalEndReleasesTheCallerOnce) {
  EXPECT_DOOR_END(
      {
        ASSERT_TRUE(NetSocketPair(Net));
        gExitPeer = Net.Peer;
        int board = dup(Net.Door);  // the board keeps its own handle on the caller
        (void)board;
        Startup({"-N1", "-S{fd}"}, Net.Door);
        TakeCaller(Net.Peer);
        DoorWrite("Bye");
        DoorShutdown();
        // The number is free again; whatever gets it must survive the exit hook's close.
        int reused = open("/dev/null", O_RDONLY);
        if (reused != Net.Door) std::fputs("[number not reused]\n", stderr);
        gReused = reused;
        Net.Door = -1;
        std::exit(0);
      },
      "[cursor 1,24]", "[attr 07]", "[caller Bye]", "[caller still connected]", "[reused handle open]");
}

// The console on a pseudo-terminal of 80x25, as on the sysop's screen.
void SysopTerminal() {
  int slave = -1;
  winsize size{};
  size.ws_row = 25;
  size.ws_col = 80;
  if (openpty(&gSysopTerminal, &slave, nullptr, nullptr, &size) != 0) std::abort();
  dup2(slave, STDIN_FILENO);
  dup2(slave, STDOUT_FILENO);
  ConsoleAttachTerminal();
}

TEST_F(DoorExitTest, ExitHookDrawsBeforeTheSysopsTerminalIsRestored) {
  EXPECT_DOOR_END(
      {
        SysopTerminal();
        ASSERT_TRUE(NetSocketPair(Net));
        Startup({"-N1", "-S{fd}"}, Net.Door);
        DoorGotoXY(40, 10);
        DoorWrite("Bye");
        DoorShutdown();
        std::exit(0);
      },
      "[sysop cursor before goodbye 1,24]");
}

TEST_F(DoorExitTest, HandlersEndTheSession) {
  // The caller hangs up: only the sysop is told, and writing to the gone caller is harmless.
  EXPECT_DOOR_END(
      {
        ASSERT_TRUE(NetSocketPair(Net));
        Startup({"-N1", "-S{fd}"}, Net.Door);
        NetClose(Net.Peer);
        DoorKeyPressed();  // finds the connection closed
        AdvanceSeconds(1);
        DoorKeyPressed();  // the next pass acts on it
      },
      "2:   Caller Dropped Carrier.  Returning To BBS...\n", "[cursor 1,24]", "[attr 07]",
      "[slept 2500]");

  // The idle limit: the caller is told, then the exit hook tidies both screens.
  EXPECT_DOOR_END(
      {
        ASSERT_TRUE(NetSocketPair(Net));
        gExitPeer = Net.Peer;
        int board = dup(Net.Door);
        (void)board;
        Startup({"-N1", "-S{fd}"}, Net.Door);
        TakeCaller(Net.Peer);
        DoorKeyPressed();
        AdvanceSeconds(301);
        DoorReadKey();
      },
      "2:  Idle Time Limit Exceeded.  Returning To BBS...\n", "[cursor 1,24]", "[slept 2500]",
      "[caller \\e[1;37m\\e[40m\\e[2J\\e[1;1f\\r\\n  Idle Time Limit Exceeded.  Returning To BBS...\\r\\n"
      "\\e[0;37m\\e[40m\\e[40m\\e[255B\\e[255D]",
      "[caller still connected]");

  // No time given: the first pass ends the session.
  EXPECT_DOOR_END(
      {
        ASSERT_TRUE(NetSocketPair(Net));
        Startup({"-N1", "-S{fd}"}, Net.Door);
        DoorDropInfo.MaxSeconds = 0;
        DoorKeyPressed();
      },
      "2:  Your Time Has Expired.  Returning To BBS...\n", "[slept 2500]");
}

}  // namespace
