// The local console's screen rules: text output, the window, the cursor, line operations.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "doorkit/console.h"
#include "console_internal.h"
#include "doorkit/videoutils.h"

using namespace std::string_literals;

namespace {

struct ConsoleTest : ::testing::Test {
  void SetUp() override { ConsoleReset(); }
  void TearDown() override { ConsoleReset(); }
};

// Rows AFrom.. of the screen, columns 1 to the picture's width.
void ExpectPicture(int AFrom, const std::vector<std::string> &APicture) {
  for (size_t I = 0; I < APicture.size(); I++) {
    const int Y = AFrom + static_cast<int>(I);
    EXPECT_EQ(ConsoleRowText(Y).substr(0, APicture[I].size()), APicture[I]) << "row " << Y;
  }
}

// Every row a letter of its own ('a' for row 1), in attribute 0x07.
void FillLetters() {
  for (int Y = 1; Y <= CONSOLE_ROWS; Y++) ConsoleWriteCells(1, Y, std::string(80, 'a' + Y - 1), 0x07);
}

TEST_F(ConsoleTest, StartsBlankWithAttributeSevenAndFullWindow) {
  EXPECT_EQ(TextAttr, 0x07);
  EXPECT_EQ(WindMin(), 0x0000);
  EXPECT_EQ(WindMax(), 0x184F);
  EXPECT_EQ(WhereX(), 1);
  EXPECT_EQ(WhereY(), 1);
  EXPECT_EQ(ConsoleRowText(25), std::string(80, ' '));
  EXPECT_EQ(ConsoleCell(80, 25).Attr, 0x07);
  EXPECT_TRUE(ConsoleCursorVisible());
  EXPECT_EQ(ConsoleCell(0, 1).Attr, 0);  // outside: a blank in attribute 0
  EXPECT_EQ(ConsoleCell(81, 1).Attr, 0);
}

// Output in a 5x3 window at columns 3-7, rows 2-4, with cells outside it marked 'x'.
TEST_F(ConsoleTest, TextOutputWrapsScrollsAndActsOnControls) {
  struct TCase {
    const char *Name;
    int StartX, StartY;
    std::string Text;
    std::vector<std::string> Picture;  // rows 1-5, columns 1-9
    int WhereX, WhereY;
  };
  const TCase kCases[] = {
      {"plain", 1, 1, "AB", {"xxxxxxxxx", "xxAB   xx", "xx     xx", "xx     xx", "xxxxxxxxx"}, 3, 1},
      {"wraps at the right edge", 1, 1, "ABCDEFG",
       {"xxxxxxxxx", "xxABCDExx", "xxFG   xx", "xx     xx", "xxxxxxxxx"}, 3, 2},
      {"a full row moves to the next", 1, 1, "ABCDE",
       {"xxxxxxxxx", "xxABCDExx", "xx     xx", "xx     xx", "xxxxxxxxx"}, 1, 2},
      {"scrolls the window below its last row", 1, 1, "11111222223333344",
       {"xxxxxxxxx", "xx22222xx", "xx33333xx", "xx44   xx", "xxxxxxxxx"}, 3, 3},
      {"last cell of the window scrolls", 5, 3, "Z",
       {"xxxxxxxxx", "xx     xx", "xx    Zxx", "xx     xx", "xxxxxxxxx"}, 1, 3},
      {"CR to the first column", 3, 2, "AB\rC",
       {"xxxxxxxxx", "xx     xx", "xxC AB xx", "xx     xx", "xxxxxxxxx"}, 2, 2},
      {"LF down in the same column", 2, 1, "A\nB",
       {"xxxxxxxxx", "xx A   xx", "xx  B  xx", "xx     xx", "xxxxxxxxx"}, 4, 2},
      {"LF on the last row scrolls", 1, 3, "A\nB",
       {"xxxxxxxxx", "xx     xx", "xxA    xx", "xx B   xx", "xxxxxxxxx"}, 3, 3},
      {"BS stops at the first column", 2, 1, "AB\b\b\b\bC",
       {"xxxxxxxxx", "xxCAB  xx", "xx     xx", "xx     xx", "xxxxxxxxx"}, 2, 1},
      {"BEL does nothing", 1, 1, "A\aB",
       {"xxxxxxxxx", "xxAB   xx", "xx     xx", "xx     xx", "xxxxxxxxx"}, 3, 1},
      {"other control bytes are glyphs", 1, 1, "\x0e\x1b\0\x7f\xfe"s,
       {"xxxxxxxxx", "xx\x0e\x1b\0\x7f\xfexx"s, "xx     xx", "xx     xx", "xxxxxxxxx"}, 1, 2},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    ConsoleReset();
    for (int Y = 1; Y <= 5; Y++) ConsoleWriteCells(1, Y, "xxxxxxxxx", 0x07);
    Window(3, 2, 7, 4);
    ClrScr();
    GotoXY(static_cast<uint8_t>(C.StartX), static_cast<uint8_t>(C.StartY));
    TextAttr = 0x1E;
    ConsoleWrite(C.Text);
    ExpectPicture(1, C.Picture);
    EXPECT_EQ(WhereX(), C.WhereX);
    EXPECT_EQ(WhereY(), C.WhereY);
  }
}

TEST_F(ConsoleTest, GlyphsTakeTheAttributeAndScrolledInRowsAreBlankInIt) {
  Window(1, 1, 80, 2);
  TextAttr = 0x1E;
  ConsoleWrite("A");
  TextAttr = 0x4F;
  ConsoleWrite("B");
  EXPECT_EQ(ConsoleCell(1, 1).Attr, 0x1E);
  EXPECT_EQ(ConsoleCell(2, 1).Attr, 0x4F);
  ConsoleWrite("\n\n");  // the second one scrolls
  EXPECT_EQ(ConsoleRowText(1), std::string(80, ' '));
  EXPECT_EQ(ConsoleCell(1, 1).Attr, 0x07);
  EXPECT_EQ(ConsoleCell(80, 2).Attr, 0x4F);  // the row that came in
  EXPECT_EQ(ConsoleCell(1, 3).Attr, 0x07);   // below the window: untouched
}

TEST_F(ConsoleTest, GotoXYIgnoresZeroAndPositionsBeyondTheWindow) {
  struct TCase {
    const char *Name;
    int X, Y;
    int WhereX, WhereY;
  };
  const TCase kCases[] = {
      {"inside", 5, 3, 5, 3},          {"column 0", 0, 1, 2, 2},       {"row 0", 1, 0, 2, 2},
      {"one right of the window", 6, 1, 2, 2}, {"one below", 1, 4, 2, 2}, {"far off", 200, 200, 2, 2},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    ConsoleReset();
    Window(3, 2, 7, 4);
    GotoXY(2, 2);
    GotoXY(static_cast<uint8_t>(C.X), static_cast<uint8_t>(C.Y));
    EXPECT_EQ(WhereX(), C.WhereX);
    EXPECT_EQ(WhereY(), C.WhereY);
    EXPECT_EQ(ConsoleCursorX(), 2 + C.WhereX);  // absolute
    EXPECT_EQ(ConsoleCursorY(), 1 + C.WhereY);
  }
}

TEST_F(ConsoleTest, WindowCornersAndInvalidWindows) {
  struct TCase {
    const char *Name;
    int X1, Y1, X2, Y2;
    uint16_t Min, Max;
  };
  // Each starts from the window 3,2,7,4 with the cursor at 2,2 of it.
  const TCase kCases[] = {
      {"status-bar layout", 1, 1, 80, 24, 0x0000, 0x174F},
      {"small", 3, 2, 7, 4, 0x0102, 0x0306},
      {"one cell", 80, 25, 80, 25, 0x184F, 0x184F},
      {"column 0", 0, 1, 80, 25, 0x0102, 0x0306},
      {"beyond column 80", 1, 1, 81, 25, 0x0102, 0x0306},
      {"beyond row 25", 1, 1, 80, 26, 0x0102, 0x0306},
      {"corners swapped", 7, 2, 3, 4, 0x0102, 0x0306},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    ConsoleReset();
    Window(3, 2, 7, 4);
    GotoXY(2, 2);
    Window(static_cast<uint8_t>(C.X1), static_cast<uint8_t>(C.Y1), static_cast<uint8_t>(C.X2),
           static_cast<uint8_t>(C.Y2));
    EXPECT_EQ(WindMin(), C.Min);
    EXPECT_EQ(WindMax(), C.Max);
    const bool Taken = C.Min != 0x0102 || C.Max != 0x0306 || C.X1 == 3;
    EXPECT_EQ(WhereX(), Taken ? 1 : 2);  // a new window homes the cursor
    EXPECT_EQ(WhereY(), Taken ? 1 : 2);
  }
}

// On a screen of letter rows, in the window 3,2,7,5 with the cursor at 3,2 of it
// (absolute column 5, row 3); blanks come in TextAttr 0x70.
TEST_F(ConsoleTest, LineOperationsStayInTheWindow) {
  struct TCase {
    const char *Name;
    std::function<void()> Op;
    std::vector<std::string> Picture;  // rows 1-6, columns 1-9
    int WhereX, WhereY;
  };
  const TCase kCases[] = {
      {"InsLine", InsLine, {"aaaaaaaaa", "bbbbbbbbb", "cc     cc", "ddcccccdd", "eedddddee"}, 3, 2},
      {"DelLine", DelLine, {"aaaaaaaaa", "bbbbbbbbb", "ccdddddcc", "ddeeeeedd", "ee     ee", "fffffffff"}, 3, 2},
      {"ClrEol", ClrEol, {"aaaaaaaaa", "bbbbbbbbb", "cccc   cc", "ddddddddd"}, 3, 2},
      {"ClrScr", ClrScr, {"aaaaaaaaa", "bb     bb", "cc     cc", "dd     dd", "ee     ee", "fffffffff"}, 1, 1},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    ConsoleReset();
    FillLetters();
    Window(3, 2, 7, 5);
    GotoXY(3, 2);
    TextAttr = 0x70;
    C.Op();
    ExpectPicture(1, C.Picture);
    EXPECT_EQ(WhereX(), C.WhereX);
    EXPECT_EQ(WhereY(), C.WhereY);
    for (int Y = 2; Y <= 5; Y++)
      for (int X = 3; X <= 7; X++)
        if (ConsoleCell(X, Y).Ch == ' ') {
          EXPECT_EQ(ConsoleCell(X, Y).Attr, 0x70) << X << "," << Y;
        }
  }
}

TEST_F(ConsoleTest, TextColorAndTextBackground) {
  struct TCase {
    const char *Name;
    uint8_t Start;
    void (*Op)(uint8_t);
    uint8_t Arg, Result;
  };
  const TCase kCases[] = {
      {"colour keeps the background", 0x1E, TextColor, 0x0C, 0x1C},
      {"colour with blink", 0x1E, TextColor, 0x8C, 0x9C},
      {"colour drops background bits of the argument", 0x1E, TextColor, 0x7F, 0x1F},
      {"background keeps colour and blink", 0x9E, TextBackground, 0x04, 0xCE},
      {"background takes three bits", 0x0E, TextBackground, 0x0C, 0x4E},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    TextAttr = C.Start;
    C.Op(C.Arg);
    EXPECT_EQ(TextAttr, C.Result);
  }
}

TEST_F(ConsoleTest, FastWriteIsAbsoluteClippedAndLeavesCursorAndAttribute) {
  struct TCase {
    const char *Name;
    int X, Y;
    std::string Line;
    int Row;
    std::string Expected;  // the whole row
  };
  const TCase kCases[] = {
      {"in row 25", 1, 25, "Status", 25, "Status" + std::string(74, ' ')},
      {"cut at column 80", 75, 1, "0123456789", 1, std::string(74, ' ') + "012345"},
      {"the bottom-right cell", 80, 25, "XY", 25, std::string(79, ' ') + "X"},
      {"column 0", 0, 1, "A", 1, std::string(80, ' ')},
      {"column 81", 81, 1, "A", 1, std::string(80, ' ')},
      {"row 0", 1, 0, "A", 1, std::string(80, ' ')},
      {"row 26", 1, 26, "A", 25, std::string(80, ' ')},
      {"empty", 1, 1, "", 1, std::string(80, ' ')},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    ConsoleReset();
    Window(1, 1, 80, 24);  // the status-bar layout: outside the window
    GotoXY(10, 5);
    TextAttr = 0x1E;
    FastWrite(C.Line, static_cast<uint8_t>(C.X), static_cast<uint8_t>(C.Y), 0x4F);
    EXPECT_EQ(ConsoleRowText(C.Row), C.Expected);
    EXPECT_EQ(WhereX(), 10);
    EXPECT_EQ(WhereY(), 5);
    EXPECT_EQ(TextAttr, 0x1E);
    if (C.Row == C.Y && C.Expected != std::string(80, ' ')) {
      EXPECT_EQ(ConsoleCell(C.X, C.Y).Attr, 0x4F);
    }
  }
  EXPECT_EQ(ConsoleRowText(1), std::string(80, ' '));  // nothing scrolled
}

TEST_F(ConsoleTest, CursorOnAndOff) {
  CursorOff();
  EXPECT_FALSE(ConsoleCursorVisible());
  CursorOn();
  EXPECT_TRUE(ConsoleCursorVisible());
}

}  // namespace
