// The sysop's check (-C): the door says in plain text what the board gave it and what it
// would do, into a file as well as onto a terminal, and leaves the caller untouched.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "boards/caller.h"

namespace {

using boards::TChild;

std::string ReadFile(const std::string &APath) {
  std::ifstream In(APath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

std::string Door32(int32_t AType, const std::string &AHandle) {
  return std::to_string(AType) + "\r\n" + AHandle + "\r\n38400\r\nTest Board\r\n5\r\nJane Caller\r\nJane\r\n30\r\n45\r\n0\r\n3\r\n";
}

// Runs the door with -C and AArgs, standard output into a file; the caller's socket AKeep
// inherited. Returns what the file holds.
std::string Check(const TTempDir &ADir, const std::string &AArgs, int AKeep = -1) {
  TChild Door;
  const std::string Out = ADir.File("check.txt");
  EXPECT_TRUE(Door.Start({"/bin/sh", "-c", std::string(VANTORAMA_BIN) + " -C " + AArgs + " >'" + Out + "' </dev/null"},
                         ADir.Path, AKeep));
  EXPECT_TRUE(Door.Wait(15000));
  EXPECT_TRUE(Door.ExitedWith(0)) << Door.Log;
  EXPECT_EQ(Door.Log, "") << "nothing on the terminal";
  return ReadFile(Out);
}

TEST(SysopCheckTest, SaysWhatTheDoorGotWithoutTouchingTheCaller) {
  TTempDir Dir;
  TNetPair Pair;
  ASSERT_TRUE(NetTcpPair(Pair));
  const std::string Fd = std::to_string(Pair.Door);
  const std::string Drop = Dir.Write("DOOR32.SYS", Door32(2, Fd));
  const std::string Said = Check(Dir, "-D" + Drop, Pair.Door);
  for (const std::string &Line : std::vector<std::string>{
           "the sysop's check. Nothing is sent to the caller.\n",
           "Program:    Zarvex v13.09.02\n",
           "Drop file:  " + Drop + "\n",
           "Format:     DOOR32.SYS, the name contains \"DOOR32.SYS\" (case ignored)\n",
           "Mode:       link: the drop file says connection type 2 (telnet) on handle " + Fd + "\n",
           "Handle:     " + Fd + ": open, a stream socket, connected to 127.0.0.1:",
           "Node:       3\n",
           "Caller:     \"Jane Caller\", alias \"Jane\"\n",
           "Minutes:    45 (2700 seconds)\n",
           "Emulation:  ASCII\n",
           "Access:     30, record 4, speed 38400\n",
       }) {
    EXPECT_NE(Said.find(Line), std::string::npos) << "want: " << Line << "\ngot:\n" << Said;
  }
  // Not a byte to the caller (no telnet announcements), and the caller still connected.
  EXPECT_FALSE(NetReadable(Pair.Peer, 200));
  ASSERT_TRUE(NetSend(Pair.Door, "still here"));
  EXPECT_EQ(NetRecv(Pair.Peer, 10), "still here");
}

TEST(SysopCheckTest, SaysWhyForEveryWayOfRunning) {
  TTempDir Dir;
  TNetPair Unix;
  ASSERT_TRUE(NetSocketPair(Unix));
  const std::string Fd = std::to_string(Unix.Door);
  for (const char *Sub : {"t0", "t2", "bad"}) std::filesystem::create_directory(Dir.File(Sub));
  struct TCase {
    const char *Name;
    std::string Args;
    std::vector<std::string> Lines;
  };
  const TCase kCases[] = {
      {"nothing: local", "", {"Mode:       local: no -D, -S or -? was given"}},
      {"-N -S on a local socket", "-N2 -S" + Fd + " -D" + Dir.File("DOOR32.SYS"),
       {"Mode:       link: -N and -S name the node and the caller's socket; the drop file named as well is not read",
        "Handle:     " + Fd + ": open, a stream socket, connected to an unnamed local socket", "Node:       2"}},
      {"-N -S on a closed descriptor", "-N2 -S250", {"Handle:     250: not open in this process"}},
      {"-S without -N", "-S5", {"Mode:       none: -S needs -N with a node above 0"}},
      {"no such drop file", "-D" + Dir.File("DOOR.SYS"),
       {"Format:     none: there is no such file", "Would:      stop with \"Drop File Does Not Exist"}},
      {"a name of no format", "-D" + Dir.Write("PCBOARD.SYS", "x\n"), {"Format:     none: the name fits no format"}},
      {"DOOR32.SYS type 0", "-D" + Dir.Write("t0/DOOR32.SYS", Door32(0, "0")),
       {"Mode:       stdio: the drop file says connection type 0 (local)",
        "Minutes:    45 (2700 seconds; in stdio mode the board keeps the time)"}},
      {"DOOR32.SYS type 2 with -X", "-X -D" + Dir.Write("t2/DOOR32.SYS", Door32(2, "5")),
       {"Mode:       stdio: -X was given (the drop file says connection type 2 (telnet))"}},
      {"DOOR32.SYS with handle -1", "-D" + Dir.Write("bad/DOOR32.SYS", Door32(2, "-1")),
       {"Mode:       none: connection type 2 (telnet) with handle -1",
        "Would:      stop with \"Invalid comm number: -1\""}},
      {"chain.txt, lower case", "-D" + Dir.Write("chain.txt", "7\nbob\nBob Smith\n"),
       {"Format:     CHAIN.TXT, the file's name (case ignored)", "Mode:       stdio: the drop file says connection type 0",
        "Caller:     \"Bob Smith\", alias \"bob\""}},
  };
  for (const TCase &Case : kCases) {
    SCOPED_TRACE(Case.Name);
    const std::string Said = Check(Dir, Case.Args, Unix.Door);
    for (const std::string &Line : Case.Lines) EXPECT_NE(Said.find(Line), std::string::npos) << Line << "\n" << Said;
  }
}

}  // namespace
