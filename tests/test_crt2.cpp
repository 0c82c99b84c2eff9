// The tracked attribute and the console's attribute move together.
#include <gtest/gtest.h>

#include "doorkit/console.h"
#include "console_internal.h"
#include "doorkit/crt2.h"
#include "crt2_internal.h"

namespace {

class Crt2Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ConsoleReset();
    Crt2Reset();
  }
};

TEST_F(Crt2Test, StartsFromTheConsoleAttribute) {
  EXPECT_EQ(GetTextAttr(), 0x07);
  TextAttr = 0x1E;
  Crt2Reset();
  EXPECT_EQ(GetTextAttr(), 0x1E);
}

TEST_F(Crt2Test, ConsoleAttributeZeroAtStartReadsAsLightGrey) {
  TextAttr = 0x00;
  Crt2Reset();
  EXPECT_EQ(GetTextAttr(), 0x07);
  SetTextColour(12);  // the first change starts from 7, not from the console's 0
  EXPECT_EQ(GetTextAttr(), 0x0C);
  EXPECT_EQ(TextAttr, 0x0C);
}

struct Crt2Case {
  const char *name;
  uint8_t start;
  enum { Attr, Colour, Background } op;
  uint8_t arg;
  uint8_t expected;
};

TEST_F(Crt2Test, ChangesKeepBothCopiesEqual) {
  const Crt2Case kCases[] = {
      {"attr", 0x07, Crt2Case::Attr, 0x9E, 0x9E},
      {"attr zero", 0x1F, Crt2Case::Attr, 0x00, 0x00},
      {"colour keeps background", 0x17, Crt2Case::Colour, 0x0E, 0x1E},
      {"colour with blink bit sets blink", 0x17, Crt2Case::Colour, 0x8C, 0x9C},
      {"colour below 128 clears blink", 0x9C, Crt2Case::Colour, 12, 0x1C},
      {"colour drops bits 4 to 6", 0x07, Crt2Case::Colour, 0x7A, 0x0A},
      {"background keeps foreground and blink", 0x8E, Crt2Case::Background, 4, 0xCE},
      {"background takes three bits", 0x0E, Crt2Case::Background, 9, 0x1E},
      {"background 15", 0x8E, Crt2Case::Background, 0xFF, 0xFE},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    SetTextAttr(c.start);
    switch (c.op) {
      case Crt2Case::Attr: SetTextAttr(c.arg); break;
      case Crt2Case::Colour: SetTextColour(c.arg); break;
      case Crt2Case::Background: SetTextBackground(c.arg); break;
    }
    EXPECT_EQ(GetTextAttr(), c.expected);
    EXPECT_EQ(TextAttr, c.expected);
  }
}

TEST_F(Crt2Test, NewValueComesFromTheTrackedCopy) {
  SetTextAttr(0x1E);
  TextAttr = 0x40;  // somebody wrote the console directly
  SetTextColour(0x02);
  EXPECT_EQ(GetTextAttr(), 0x12);
  SetTextBackground(3);
  EXPECT_EQ(GetTextAttr(), 0x32);
}

}  // namespace
