// Pipe colour codes, the status bar's time strings and the kit's one integer conversion.
#include <gtest/gtest.h>

#include <string>

#include "console_internal.h"
#include "doorkit/crt2.h"
#include "crt2_internal.h"
#include "doorkit/stringutils.h"

namespace {

class PipeToAnsiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConsoleReset();
    Crt2Reset();
  }
};

struct PipeCase {
  const char *name;
  std::string text;
  std::string expected;
};

TEST_F(PipeToAnsiTest, ReplacesValidCodesOnly) {
  const PipeCase kCases[] = {
      {"empty", "", ""},
      {"one byte", "|", "|"},
      {"two bytes that look like a code", "|1", "|1"},
      {"pipe among the last two bytes", "xx|1", "xx|1"},
      {"pipe as the very last byte", "abc|", "abc|"},
      {"not hex", "|XY", "|XY"},
      {"sign is not a digit", "|+1", "|+1"},
      {"minus is not a digit", "|-1", "|-1"},
      {"blank is not a digit", "| 1x", "| 1x"},
      {"radix letter is not a digit", "|x1z", "|x1z"},
      {"bright on blue", "|1F", "\x1b[1;37m\x1b[44m"},
      {"lower-case hex", "|1f", "\x1b[1;37m\x1b[44m"},
      {"double pipe", "||1F", "|\x1b[1;37m\x1b[44m"},
      {"blink bit dropped", "|8E", "\x1b[1;33m\x1b[40m"},
      {"dark colour sends the tracked background first", "|07",
       "\x1b[0;37m\x1b[40m\x1b[40m"},
      {"magenta on blue, not colour fifteen", "|15", "\x1b[0;35m\x1b[40m\x1b[44m"},
      {"codes amid text", "a|0Ab|02c",
       "a\x1b[1;32m\x1b[40mb\x1b[0;32m\x1b[40m\x1b[40mc"},
      {"bytes after a failed code are read again", "|Z|0F", "|Z\x1b[1;37m\x1b[40m"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PipeToAnsi(c.text), c.expected);
  }
}

TEST_F(PipeToAnsiTest, DarkCodeRepeatsTrackedBackgroundOfTheMomentOfTranslation) {
  SetTextAttr(0x1F);
  EXPECT_EQ(PipeToAnsi("|07|02"), "\x1b[0;37m\x1b[44m\x1b[40m\x1b[0;32m\x1b[44m\x1b[40m");
  EXPECT_EQ(GetTextAttr(), 0x1F);  // translation alone changes nothing
}

struct TimeCase {
  int32_t seconds;
  const char *hms;
  const char *ms;
};

TEST(SecToTimeTest, FormatsWithTwoDigitFields) {
  const TimeCase kCases[] = {
      {0, "00:00:00", "00:00"},
      {5, "00:00:05", "00:05"},
      {125, "00:02:05", "02:05"},
      {3725, "01:02:05", "62:05"},
      {5999, "01:39:59", "99:59"},
      {6000, "01:40:00", "100:00"},
      {86399, "23:59:59", "1439:59"},
      {360000, "100:00:00", "6000:00"},
      {-5, "00:00:-5", "00:-5"},
      {-61, "00:-1:-1", "-1:-1"},
      {-3600, "-1:00:00", "-60:00"},
      {INT32_MAX, "596523:14:07", "35791394:07"},
      {INT32_MIN, "-596523:-14:-8", "-35791394:-8"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(SecToHMS(c.seconds), c.hms);
    EXPECT_EQ(SecToMS(c.seconds), c.ms);
  }
}

struct IntCase {
  const char *name;
  std::string text;
  int32_t expected;  // with default -7
};

TEST(StrToIntDefTest, WholeTextOrDefault) {
  constexpr int32_t D = -7;
  const IntCase kCases[] = {
      {"decimal", "42", 42},
      {"zero", "0", 0},
      {"leading zeros", "0007", 7},
      {"plus", "+15", 15},
      {"minus", "-15", -15},
      {"minus zero", "-0", 0},
      {"leading blanks and tabs", " \t  38400", 38400},
      {"largest", "2147483647", 2147483647},
      {"smallest", "-2147483648", INT32_MIN},
      {"above the range", "2147483648", D},
      {"below the range", "-2147483649", D},
      {"far above the range", "99999999999999999999999", D},
      {"many leading zeros", std::string(200, '0') + "12", 12},
      {"dollar hex", "$1F", 31},
      {"x hex", "x1f", 31},
      {"X hex", "XfF", 255},
      {"0x hex", "0x10", 16},
      {"0X hex", "0X10", 16},
      {"negative hex", "-$10", -16},
      {"largest hex", "$7FFFFFFF", INT32_MAX},
      {"smallest hex", "-$80000000", INT32_MIN},
      {"hex above the signed range", "$80000000", D},
      {"hex all ones is not minus one", "$FFFFFFFF", D},
      {"hex beyond 32 bits", "$100000000", D},
      {"binary", "%1011", 11},
      {"binary digit 2", "%102", D},
      {"octal", "&777", 511},
      {"octal digit 8", "&78", D},
      {"empty", "", D},
      {"blanks only", "   ", D},
      {"sign only", "-", D},
      {"prefix only", "$", D},
      {"0x only", "0x", D},
      {"sign after prefix", "$-1", D},
      {"two signs", "--1", D},
      {"blank between sign and digits", "- 1", D},
      {"trailing blank", "12 ", D},
      {"trailing CR", "12\r", D},
      {"text after digits", "12abc", D},
      {"hex digit without prefix", "1F", D},
      {"decimal point", "1.5", D},
      {"NUL inside", std::string("1\0" "2", 3), D},
      {"255 characters", std::string(254, ' ') + "9", 9},
      {"256 characters", std::string(255, ' ') + "9", D},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StrToIntDef(c.text, D), c.expected);
  }
}

TEST(UpperCaseTest, AsciiLettersOnly) {
  EXPECT_EQ(UpperCase("door32.sys"), "DOOR32.SYS");
  EXPECT_EQ(UpperCase("Az{`@[\x81\xe4\xff"), "AZ{`@[\x81\xe4\xff");
  EXPECT_EQ(UpperCase(std::string("a\0b", 3)), std::string("A\0B", 3));
}

// What a door writer's UTF-8 literal and a UTF-8 keyboard's bytes become.
TEST(Utf8ToCp437Test, CharactersBecomeThePcsBytesAndTheRestIsLeftOut) {
  const struct {
    const char *name;
    std::string text;
    std::string expected;
  } kCases[] = {
      {"ASCII as it is", "Hello, |0Eworld\r\n", "Hello, |0Eworld\r\n"},
      {"accented letters", "Gr\xC3\xBC\xC3\x9F" "e \xC3\xA9", "Gr\x81\xE1" "e \x82"},
      {"box drawing", "\xE2\x95\x94\xE2\x95\x90\xE2\x95\x97", "\xC9\xCD\xBB"},
      {"no CP437 form", "a\xE2\x82\xAC" "b\xF0\x9F\x98\x80" "c", "abc"},
      {"a control byte's symbol is no key", "\xE2\x98\xBA\xE2\x8C\x82", ""},
      {"lone continuation byte", "a\x82" "b", "ab"},
      {"cut short by ASCII", "\xC3" "a", "a"},
      {"cut short by a lead byte", "\xE2\x95\xC3\xA9", "\x82"},
      {"overlong form", "\xC0\xAF\xE0\x80\xAF", ""},
      {"surrogate", "\xED\xA0\x80", ""},
      {"past U+10FFFF", "\xF4\x90\x80\x80", ""},
      {"ends inside a character", "x\xE2\x95", "x"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Utf8ToCp437(c.text), c.expected);
  }
}

}  // namespace
