// What the door sends the caller for colours and cursor moves, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "doorkit/ansi.h"
#include "ansi_internal.h"
#include "console_internal.h"
#include "doorkit/crt2.h"
#include "crt2_internal.h"

namespace {

class AnsiBuildersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConsoleReset();
    Crt2Reset();
    AnsiReset();
  }
};

struct BuilderCase {
  const char *name;
  std::string built;
  std::string expected;
};

TEST_F(AnsiBuildersTest, ColoursFromTheTrackedAttribute) {
  // Each builder is called after SetTextAttr(tracked), inside the loop.
  struct Lazy {
    const char *name;
    uint8_t tracked;
    std::string (*build)();
    const char *expected;
  };
  const Lazy kCases[] = {
      {"dark colour resends background", 0x07, [] { return AnsiTextColour(7); },
       "\x1b[0;37m\x1b[40m"},
      {"bright colour alone", 0x07, [] { return AnsiTextColour(14); }, "\x1b[1;33m"},
      {"dark colour on blue", 0x17, [] { return AnsiTextColour(4); }, "\x1b[0;31m\x1b[44m"},
      {"colour 23 is 7", 0x07, [] { return AnsiTextColour(23); }, "\x1b[0;37m\x1b[40m"},
      {"colour 255 is 15", 0x07, [] { return AnsiTextColour(255); }, "\x1b[1;37m"},
      {"blink bit of tracked background dropped", 0xC7, [] { return AnsiTextColour(1); },
       "\x1b[0;34m\x1b[41m"},
      {"background 9 is 1", 0x07, [] { return AnsiTextBackground(9); }, "\x1b[44m"},
      {"background 12 is 4", 0x07, [] { return AnsiTextBackground(12); }, "\x1b[41m"},
      {"background 6", 0x07, [] { return AnsiTextBackground(6); }, "\x1b[43m"},
      {"attr bright on blue", 0x07, [] { return AnsiTextAttr(0x1F); }, "\x1b[1;37m\x1b[44m"},
      {"attr dark holds both backgrounds", 0x1F, [] { return AnsiTextAttr(0x07); },
       "\x1b[0;37m\x1b[44m\x1b[40m"},
      {"attr never blinks", 0x07, [] { return AnsiTextAttr(0x8E); }, "\x1b[1;33m\x1b[40m"},
      {"attr cyan on brown", 0x07, [] { return AnsiTextAttr(0x63); },
       "\x1b[0;36m\x1b[40m\x1b[43m"},
      {"blink on", 0x1E, [] { return AnsiBlink(true); }, "\x1b[5m"},
      {"blink off rebuilds bright", 0x1E, [] { return AnsiBlink(false); },
       "\x1b[0m\x1b[44m\x1b[1;33m"},
      {"blink off rebuilds dark", 0x17, [] { return AnsiBlink(false); },
       "\x1b[0m\x1b[44m\x1b[0;37m\x1b[44m"},
      {"blink off from blinking attribute", 0xCE, [] { return AnsiBlink(false); },
       "\x1b[0m\x1b[41m\x1b[1;33m"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    SetTextAttr(c.tracked);
    EXPECT_EQ(c.build(), c.expected);
    EXPECT_EQ(GetTextAttr(), c.tracked);  // building changes nothing
  }
}

TEST_F(AnsiBuildersTest, CursorSequencesWithoutRangeChecks) {
  const BuilderCase kCases[] = {
      {"goto row first", AnsiGotoXY(10, 5), "\x1b[5;10f"},
      {"goto zero", AnsiGotoXY(0, 0), "\x1b[0;0f"},
      {"goto 255", AnsiGotoXY(255, 255), "\x1b[255;255f"},
      {"clear screen", AnsiClrScr(), "\x1b[2J\x1b[1;1f"},
      {"down", AnsiCursorDown(3), "\x1b[3B"},
      {"down 0", AnsiCursorDown(0), "\x1b[0B"},
      {"left 0", AnsiCursorLeft(0), "\x1b[0D"},
      {"left 200", AnsiCursorLeft(200), "\x1b[200D"},
      {"up", AnsiCursorUp(12), "\x1b[12A"},
      {"right", AnsiCursorRight(1), "\x1b[1C"},
      {"save", AnsiCursorSave(), "\x1b[s"},
      {"restore", AnsiCursorRestore(), "\x1b[u"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.built, c.expected);
  }
}

// Every byte a builder takes, against the sequences written out the long way: decimal
// numbers of one, two and three digits, both colour forms, every tracked background.
TEST_F(AnsiBuildersTest, EveryArgumentGivesItsSequence) {
  const auto csi = [](int AValue, char AFinal) { return "\x1b[" + std::to_string(AValue) + AFinal; };
  const auto background = [&](int AColour) { return csi(AnsiColours[AColour % 8] + 40, 'm'); };
  const auto colour = [&](int AColour, int ATracked) {
    const int c = AColour % 16;
    if (c >= 8) return "\x1b[1;" + std::to_string(AnsiColours[c - 8] + 30) + "m";
    return "\x1b[0;" + std::to_string(AnsiColours[c] + 30) + "m" + background(ATracked >> 4);
  };
  for (int a = 0; a < 256; a++) {
    SCOPED_TRACE(a);
    const auto u = static_cast<uint8_t>(a);
    ASSERT_EQ(AnsiCursorDown(u), csi(a, 'B'));
    ASSERT_EQ(AnsiCursorLeft(u), csi(a, 'D'));
    ASSERT_EQ(AnsiCursorRight(u), csi(a, 'C'));
    ASSERT_EQ(AnsiCursorUp(u), csi(a, 'A'));
    ASSERT_EQ(AnsiTextBackground(u), background(a));
    for (int b = 0; b < 256; b++)
      ASSERT_EQ(AnsiGotoXY(u, static_cast<uint8_t>(b)), "\x1b[" + std::to_string(b) + ";" + std::to_string(a) + "f")
          << b;
    for (int tracked = 0; tracked < 256; tracked += 0x11) {
      SetTextAttr(static_cast<uint8_t>(tracked));
      ASSERT_EQ(AnsiTextColour(u), colour(a, tracked)) << tracked;
      ASSERT_EQ(AnsiTextAttr(u), colour(a & 15, tracked) + background(a >> 4)) << tracked;
    }
    SetTextAttr(u);
    ASSERT_EQ(AnsiBlink(false), "\x1b[0m" + background(a >> 4) + colour(a & 15, a));
  }
}

// Whatever the caller's screen showed, the interpreter (standing for the caller's
// terminal) ends on the colours a builder was asked for.
TEST_F(AnsiBuildersTest, InterpretedBackGiveTheirColours) {
  for (int from = 0; from < 256; from++) {
    for (int attr = 0; attr < 256; attr++) {
      SetTextAttr(static_cast<uint8_t>(from));
      AnsiWrite(AnsiTextAttr(static_cast<uint8_t>(attr)));
      ASSERT_EQ(GetTextAttr(), attr & 0x7F) << "from " << from << " attr " << attr;
    }
    SetTextAttr(static_cast<uint8_t>(from));
    AnsiWrite(AnsiBlink(false));
    ASSERT_EQ(GetTextAttr(), from & 0x7F) << "blink off from " << from;
    AnsiWrite(AnsiBlink(true));
    ASSERT_EQ(GetTextAttr(), from | 0x80) << "blink on from " << from;
  }
}

}  // namespace
