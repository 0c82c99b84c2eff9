// The test board of tools/ with the built door, as a sysop tries it: a caller connects over
// loopback TCP, the board writes the node's DOOR32.SYS (or passes -N -S, or runs the door on
// a pseudo-terminal), the door runs the whole show, and the caller lands back at the board.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "boards/caller.h"

namespace {

using boards::TChild;
using boards::TTelnetCaller;

constexpr const char *kWarning = "If you answer yes to either of the following questions and see";
constexpr const char *kMusic = "Would you like to enable ANSI Music for this demo? (Y/N): ";
constexpr const char *kSixel = "Would you like to enable Sixel graphics? (Y/N): ";
constexpr const char *kCredit = "BBS Demo by Maelgrin - April 2025 - Press ESC or Q to exit";
constexpr const char *kFarewell1 = "Thanks for checking out the Vantorama Demo!";
constexpr const char *kFarewell2 = "Returning to BBS...";
constexpr const char *kBack = "Back at the board.";

// What a telnet client typically answers the door's announcements with, and offers of its own.
const std::string kNegotiation = std::string(
    "\xFF\xFD\x00"                          // DO BINARY
    "\xFF\xFD\x01"                          // DO ECHO
    "\xFF\xFB\x1F"                          // WILL NAWS
    "\xFF\xFA\x1F\x00\x50\x00\x19\xFF\xF0"  // SB NAWS 80 x 25 SE
    "\xFF\xFB\x18"                          // WILL TERMINAL-TYPE
    "\xFF\xFD\x03"                          // DO SGA
    "\xFF\xFB\x03"                          // WILL SGA
    "\xFF\xFC\x20"                          // WONT TERMINAL-SPEED
    "\xFF\xF1",                             // NOP
    32);

struct TBoardRun {
  TChild Board;
  int Fd = -1;
  TTelnetCaller Caller;

  ~TBoardRun() { NetClose(Fd); }

  int Port = 0;

  // Starts the board on a free port for one caller.
  bool Start(const std::string &AMode) {
    const std::string Python = VANTORAMA_PYTHON;
    if (!Board.Start({Python, std::string(VANTORAMA_SOURCE_DIR) + "/tools/testboard.py", "--port", "0", "--once",
                      "--mode", AMode, "--door", VANTORAMA_BIN},
                     ""))
      return false;
    const std::string Listening = "listening on 127.0.0.1:";
    if (!Board.LogHas(" mode)", 20000)) {
      ADD_FAILURE() << "the board did not start: " << Board.Log;
      return false;
    }
    Port = std::atoi(Board.Log.c_str() + Board.Log.find(Listening) + Listening.size());
    return Port > 0;
  }

  // Starts the board and connects as its caller.
  bool Call(const std::string &AMode) {
    if (!Start(AMode)) return false;
    Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Addr.sin_port = htons(static_cast<uint16_t>(Port));
    if (connect(Fd, reinterpret_cast<sockaddr *>(&Addr), sizeof(Addr)) != 0) {
      ADD_FAILURE() << "cannot reach the board on port " << Port;
      return false;
    }
    Caller.Fd = Fd;
    return true;
  }

  // The board's words once the door has ended, and its own end.
  void ExpectBoardEnds() {
    EXPECT_TRUE(Board.LogHas("node 1: door ended with exit code 0", 15000)) << Board.Log;
    ASSERT_TRUE(Board.Wait(10000, &Caller)) << "the board did not end";
    EXPECT_TRUE(Board.ExitedWith(0)) << Board.Log;
  }
};

bool HavePython() { return std::string(VANTORAMA_PYTHON).size() > 0; }

class TestBoardTest : public ::testing::TestWithParam<const char *> {};

TEST_P(TestBoardTest, CallerSeesTheWholeDoorAndLandsBackAtTheBoard) {
  if (!HavePython()) GTEST_SKIP() << "no Python for the test board";
  TBoardRun Run;
  ASSERT_TRUE(Run.Call(GetParam()));
  TTelnetCaller &C = Run.Caller;

  ASSERT_TRUE(C.Shows(10, 10, kMusic)) << C.Row(10);
  EXPECT_TRUE(C.RowHas(6, 10, kWarning));
  ASSERT_TRUE(C.Type("n"));
  ASSERT_TRUE(C.Shows(12, 10, kSixel));
  EXPECT_TRUE(C.RowHas(10, 10, std::string(kMusic) + "N"));
  ASSERT_TRUE(C.Type("n"));

  // The show: the framed backdrop, and the greeting moving along the top.
  ASSERT_TRUE(C.Shows(22, 11, kCredit)) << C.Row(22);
  EXPECT_TRUE(C.RowHas(1, 31, " THE KELVARRA "));
  const std::string Top = C.Row(2) + C.Row(3);
  ASSERT_TRUE(C.PumpUntil([&] { return C.Row(2) + C.Row(3) != Top; }, 5000)) << "the show stands still";

  ASSERT_TRUE(C.Type("q"));
  ASSERT_TRUE(C.Shows(1, 1, kFarewell1));
  EXPECT_TRUE(C.RowHas(2, 1, kFarewell2));
  // The board writes after the door has let go, and then hangs up.
  ASSERT_TRUE(C.Saw(kBack));
  EXPECT_GT(C.Data.find(kBack), C.Data.rfind(kFarewell2));
  EXPECT_TRUE(C.PumpUntil([&] { return C.Closed; }, 10000));
  Run.ExpectBoardEnds();
}

// The client's answers to the option announcements are no Y or N: the questions wait on.
TEST_P(TestBoardTest, TelnetNegotiationDoesNotAnswerTheQuestions) {
  if (!HavePython()) GTEST_SKIP() << "no Python for the test board";
  TBoardRun Run;
  ASSERT_TRUE(Run.Call(GetParam()));
  TTelnetCaller &C = Run.Caller;

  ASSERT_TRUE(C.Shows(10, 10, kMusic));
  ASSERT_TRUE(C.Type(kNegotiation));
  C.Pump(1000);
  EXPECT_EQ(C.Row(10).substr(67), std::string(13, ' ')) << "answered by the negotiation";
  EXPECT_EQ(C.Row(12), std::string(80, ' ')) << "moved on without an answer";

  ASSERT_TRUE(C.Type("n"));
  ASSERT_TRUE(C.Shows(12, 10, kSixel));
  EXPECT_TRUE(C.RowHas(10, 10, std::string(kMusic) + "N "));
  ASSERT_TRUE(C.Type(kNegotiation));
  C.Pump(1000);
  EXPECT_EQ(C.Row(12).substr(57), std::string(23, ' '));

  ASSERT_TRUE(C.Type("n"));
  ASSERT_TRUE(C.Shows(22, 11, kCredit));
  // Offers in the middle of the show do not end it either.
  ASSERT_TRUE(C.Type(kNegotiation));
  C.Pump(1000);
  EXPECT_TRUE(C.RowHas(22, 11, kCredit));
  EXPECT_EQ(C.Data.find(kFarewell1), std::string::npos);

  ASSERT_TRUE(C.Type("q"));
  ASSERT_TRUE(C.Shows(1, 1, kFarewell1));
  ASSERT_TRUE(C.Saw(kBack));
  Run.ExpectBoardEnds();
}

// A caller who hangs up in the middle of the show frees the node: the door ends with 0
// (in a pty the board's SIGHUP ends it), and the board goes on without them.
TEST_P(TestBoardTest, CallerHangingUpFreesTheNode) {
  if (!HavePython()) GTEST_SKIP() << "no Python for the test board";
  TBoardRun Run;
  ASSERT_TRUE(Run.Call(GetParam()));
  TTelnetCaller &C = Run.Caller;
  ASSERT_TRUE(C.Shows(10, 10, kMusic));
  ASSERT_TRUE(C.Type("nn"));
  ASSERT_TRUE(C.Shows(22, 11, kCredit));
  NetClose(Run.Fd);
  Run.ExpectBoardEnds();
}

INSTANTIATE_TEST_SUITE_P(Modes, TestBoardTest, ::testing::Values("drop", "socket", "pty"),
                         [](const auto &AInfo) { return std::string(AInfo.param); });

// The telnet client a sysop has at hand, on a terminal of its own: the board's set-up
// puts it in character mode, so single keys reach the door without Enter.
TEST(TestBoardTelnetTest, TelnetClientRunsTheDoor) {
  if (!HavePython()) GTEST_SKIP() << "no Python for the test board";
  if (access("/usr/bin/telnet", X_OK) != 0) GTEST_SKIP() << "no telnet client";
  TBoardRun Run;
  ASSERT_TRUE(Run.Start("drop"));

  winsize Size{};
  Size.ws_row = 25;
  Size.ws_col = 80;
  int Master = -1;
  const pid_t Telnet = forkpty(&Master, nullptr, nullptr, &Size);
  ASSERT_GE(Telnet, 0);
  if (Telnet == 0) {
    setenv("TERM", "ansi", 1);
    setenv("LC_ALL", "C", 1);  // the door's bytes go to the terminal as they are
    const std::string Port = std::to_string(Run.Port);
    execl("/usr/bin/telnet", "telnet", "127.0.0.1", Port.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  struct TReap {
    pid_t Pid;
    int Fd;
    ~TReap() {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
      close(Fd);
    }
  } Reap{Telnet, Master};
  TTelnetCaller &C = Run.Caller;
  C.Fd = Master;
  auto Key = [&](char AKey) { return write(Master, &AKey, 1) == 1; };

  ASSERT_TRUE(C.Shows(10, 10, kMusic)) << C.Data;
  ASSERT_TRUE(Key('n'));
  ASSERT_TRUE(C.Shows(12, 10, kSixel)) << C.Row(10);
  ASSERT_TRUE(Key('n'));
  ASSERT_TRUE(C.Shows(22, 11, kCredit));
  EXPECT_TRUE(C.RowHas(1, 31, " THE KELVARRA "));
  // CP437 frame pieces reach the terminal as the door sent them, all eight bits.
  EXPECT_NE(C.Data.find(std::string(76, '\xCD')), std::string::npos);
  EXPECT_NE(C.Data.find('\xDA' + std::string(60, '\xC4') + '\xBF'), std::string::npos);
  ASSERT_TRUE(Key('q'));
  ASSERT_TRUE(C.Shows(1, 1, kFarewell1));
  ASSERT_TRUE(C.Saw(kBack));
  EXPECT_TRUE(C.Saw("Connection closed by foreign host."));
  Run.ExpectBoardEnds();
}

}  // namespace

namespace {

// A port another program holds: one line that says so, and a failing exit code, not a
// Python traceback.
TEST(TestBoardStartTest, APortAlreadyTakenIsOneClearLine) {
  if (!HavePython()) GTEST_SKIP() << "no Python for the test board";
  TBoardRun First;
  ASSERT_TRUE(First.Start("drop"));
  TChild Second;
  ASSERT_TRUE(Second.Start({VANTORAMA_PYTHON, std::string(VANTORAMA_SOURCE_DIR) + "/tools/testboard.py", "--port",
                            std::to_string(First.Port), "--door", VANTORAMA_BIN},
                           ""));
  ASSERT_TRUE(Second.Wait(20000)) << "the second board did not end";
  EXPECT_FALSE(Second.ExitedWith(0));
  EXPECT_EQ(Second.Log.find("Traceback"), std::string::npos) << Second.Log;
  EXPECT_NE(Second.Log.find("cannot listen on 127.0.0.1:" + std::to_string(First.Port)), std::string::npos)
      << Second.Log;
  EXPECT_EQ(std::count(Second.Log.begin(), Second.Log.end(), '\n'), 1) << Second.Log;
}

}  // namespace
