// The local keyboard: terminal key sequences arrive as a PC keyboard gives them.
#include <gtest/gtest.h>

#include <string>

#include "doorkit/console.h"
#include "console_internal.h"

using namespace std::string_literals;

namespace {

uint64_t FNow = 0;
uint64_t FakeClock() { return FNow; }

struct ConsoleKeysTest : ::testing::Test {
  void SetUp() override {
    ConsoleReset();
    FNow = 1000;
    ConsoleSetClock(FakeClock);
  }
  void TearDown() override { ConsoleReset(); }
};

std::string Ext(int AScan) { return std::string{'\0', static_cast<char>(AScan)}; }

// Every key that is waiting, as ReadKey gives them.
std::string TakeKeys() {
  std::string R;
  for (int I = 0; I < 100 && KeyPressed(); I++) R += ReadKey();
  return R;
}

struct TKeyCase {
  const char *Name;
  std::string Input;
  std::string Keys;
};

const TKeyCase kCases[] = {
    {"up", "\x1b[A", Ext(0x48)},
    {"down", "\x1b[B", Ext(0x50)},
    {"right", "\x1b[C", Ext(0x4D)},
    {"left", "\x1b[D", Ext(0x4B)},
    {"up, application mode", "\x1bOA", Ext(0x48)},
    {"home", "\x1b[H", Ext(0x47)},
    {"home, vt220", "\x1b[1~", Ext(0x47)},
    {"end", "\x1b[F", Ext(0x4F)},
    {"end, rxvt", "\x1b[8~", Ext(0x4F)},
    {"page up", "\x1b[5~", Ext(0x49)},
    {"page down", "\x1b[6~", Ext(0x51)},
    {"insert", "\x1b[2~", Ext(0x52)},
    {"delete", "\x1b[3~", Ext(0x53)},
    {"F1", "\x1bOP", Ext(0x3B)},
    {"F1, Linux console", "\x1b[[A", Ext(0x3B)},
    {"F4", "\x1bOS", Ext(0x3E)},
    {"F5", "\x1b[15~", Ext(0x3F)},
    {"F10", "\x1b[21~", Ext(0x44)},
    {"F11", "\x1b[23~", Ext(0x85)},
    {"F12", "\x1b[24~", Ext(0x86)},
    {"Alt+X", "\x1bx", Ext(0x2D)},
    {"Alt+Shift+Q", "\x1bQ", Ext(0x10)},
    {"Ctrl+Up is Up", "\x1b[1;5A", Ext(0x48)},
    {"Shift+Delete is Delete", "\x1b[3;2~", Ext(0x53)},
    {"an unknown sequence goes", "a\x1b[99zb", "ab"},
    {"an endless one too", "\x1b[" + std::string(40, '1') + "Ax", "x"},
    {"broken off by a key", "\x1b[1\x7f", "\b"},
    {"backspace 0x7F", "\x7f", "\b"},
    {"backspace 0x08", "\b", "\b"},
    {"enter CR", "\r", "\r"},
    {"enter LF", "\n", "\r"},
    {"CR LF is one enter", "a\r\nb", "a\rb"},
    {"two enters", "\r\r", "\r\r"},
    {"ESC ESC [A", "\x1b\x1b[A", "\x1b" + Ext(0x48)},
    {"text around keys", "a\x1b[Bb", "a" + Ext(0x50) + "b"},
    {"8-bit bytes", "\xe9\x01", "\xe9\x01"},
};

TEST_F(ConsoleKeysTest, SequencesDecodeWholeAndSplitAtEveryByte) {
  for (const TKeyCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    ConsoleReset();
    ConsoleSetClock(FakeClock);
    ConsolePushInput(C.Input);
    EXPECT_EQ(TakeKeys(), C.Keys) << "whole";
    for (size_t Cut = 1; Cut < C.Input.size(); Cut++) {
      ConsoleReset();
      ConsoleSetClock(FakeClock);
      ConsolePushInput(C.Input.substr(0, Cut));
      std::string Keys = TakeKeys();
      ConsolePushInput(C.Input.substr(Cut));
      Keys += TakeKeys();
      EXPECT_EQ(Keys, C.Keys) << "cut at " << Cut;
    }
  }
}

TEST_F(ConsoleKeysTest, LoneEscapeAfterTheTimeOut) {
  struct TCase {
    const char *Name;
    std::string Input;
    std::string Keys;
  };
  const TCase kTimeOuts[] = {
      {"ESC", "\x1b", "\x1b"},
      {"ESC O is Alt+O", "\x1bO", Ext(0x18)},
      {"ESC [ is ESC and [", "\x1b[", "\x1b["},
      {"ESC [1 is ESC and [1", "\x1b[1", "\x1b[1"},
  };
  for (const TCase &C : kTimeOuts) {
    SCOPED_TRACE(C.Name);
    ConsoleReset();
    ConsoleSetClock(FakeClock);
    ConsolePushInput(C.Input);
    FNow += 24;
    EXPECT_FALSE(KeyPressed()) << "a sequence may still come";
    FNow += 1;
    EXPECT_EQ(TakeKeys(), C.Keys);
  }
}

TEST_F(ConsoleKeysTest, KeysAfterATimedOutEscapeArePlain) {
  ConsolePushInput("\x1b");
  FNow += 30;
  ConsolePushInput("[A");
  EXPECT_EQ(TakeKeys(), "\x1b[A");
}

TEST_F(ConsoleKeysTest, KeyPressedDoesNotTakeTheKey) {
  ConsolePushInput("\x1b[A");
  EXPECT_TRUE(KeyPressed());
  EXPECT_TRUE(KeyPressed());
  EXPECT_EQ(ReadKey(), 0);
  EXPECT_TRUE(KeyPressed());
  EXPECT_EQ(ReadKey(), 0x48);
  EXPECT_FALSE(KeyPressed());
}

TEST_F(ConsoleKeysTest, AFloodOfInputIsBoundedAndKeepsTheFirstKeys) {
  ConsolePushInput(std::string(100000, 'k'));
  EXPECT_TRUE(KeyPressed());
  int Count = 0;
  while (KeyPressed() && Count < 200000) {
    EXPECT_EQ(ReadKey(), 'k');
    Count++;
  }
  EXPECT_GT(Count, 1000);
  EXPECT_LT(Count, 100000);
}

}  // namespace
