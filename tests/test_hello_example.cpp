// The example door of examples/, built on the kit as a door writer builds on it, run as a
// board runs it: a DOOR32.SYS naming the caller's socket, the descriptor inherited.
#include <gtest/gtest.h>

#include <string>

#include "boards/caller.h"

namespace {

using boards::TChild;
using boards::TTelnetCaller;

constexpr const char *kQuestion = "What is your favourite colour? ";

struct TCase {
  const char *Name;
  std::string Keys;
  const char *Answer;
};

// The field starts out holding the default text. Telnet replies to the door's
// announcements come first, as real clients send them.
const TCase kCases[] = {
    {"erased and typed", std::string("\xFF\xFD\x00\xFF\xFD\x01", 6) + "\x19green\r", "green"},
    {"backspaced and typed", "\b\b\b\bred\r", "red"},
    {"added to", "s\r", "blues"},
    {"enter takes the default", "\r\n", "blue"},
    {"escape gives the default", "x\x1b", "blue"},
};

TEST(HelloExampleTest, GreetsAsksAndHandsTheCallerBack) {
  for (const TCase &Case : kCases) {
    SCOPED_TRACE(Case.Name);
    TTempDir Node;
    TNetPair Pair;
    ASSERT_TRUE(NetSocketPair(Pair));
    const std::string Drop = Node.Write(
        "DOOR32.SYS", "2\r\n" + std::to_string(Pair.Door) +
                          "\r\n38400\r\nTest Board 1.0\r\n1\r\nTest Caller\r\nTester\r\n100\r\n60\r\n1\r\n1\r\n");
    TChild Door;
    // Pair.Door stays open here too, as the board keeps its own descriptor of the caller.
    ASSERT_TRUE(Door.Start({VANTORAMA_HELLO_BIN, "-D" + Drop}, Node.Path, Pair.Door));
    TTelnetCaller C;
    C.Fd = Pair.Peer;

    // The alias from the drop file, in the pipe codes' colours.
    ASSERT_TRUE(C.Shows(1, 1, "Hello, Tester, welcome to the door kit.")) << C.Row(1);
    EXPECT_EQ(VtAttr(C.Vt, 1, 1), 0x0F);
    EXPECT_EQ(VtAttr(C.Vt, 8, 1), 0x0E);
    ASSERT_TRUE(C.Shows(2, 1, kQuestion));
    EXPECT_EQ(VtAttr(C.Vt, 1, 2), 0x0A);
    // The input field: 20 cells of white on blue holding the default text.
    EXPECT_TRUE(C.PumpUntil([&] { return VtAttr(C.Vt, 51, 2) == 0x1F; }, 5000));
    EXPECT_TRUE(C.RowHas(2, 32, "blue                "));
    EXPECT_EQ(VtAttr(C.Vt, 32, 2), 0x1F);
    EXPECT_EQ(VtAttr(C.Vt, 52, 2), 0x07);

    ASSERT_TRUE(C.Type(Case.Keys));
    const std::string Said = std::string("You said ") + Case.Answer + ". Back to the board we go.";
    ASSERT_TRUE(C.Shows(3, 1, Said)) << C.Row(2) << "\n" << C.Row(3);
    EXPECT_EQ(VtAttr(C.Vt, 10, 3), 0x0B);
    EXPECT_EQ(VtAttr(C.Vt, 1, 3), 0x07);
    ASSERT_TRUE(Door.Wait(10000, &C));
    EXPECT_TRUE(Door.ExitedWith(0));
    // Only the door's own handle was closed: the board still reaches the caller.
    EXPECT_FALSE(C.Closed);
    ASSERT_TRUE(NetSend(Pair.Door, "Back at the board."));
    EXPECT_TRUE(C.Saw("Back at the board.", 2000));
  }
}

}  // namespace
