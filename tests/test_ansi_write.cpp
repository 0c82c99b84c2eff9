// The local interpreter: what the sysop's screen shows for the bytes sent to the caller.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "doorkit/ansi.h"
#include "ansi_internal.h"
#include "doorkit/console.h"
#include "console_internal.h"
#include "doorkit/crt2.h"
#include "crt2_internal.h"

namespace {

constexpr const char *STATUS_TEXT = "STATUS";

struct Screen {
  std::array<TConsoleCell, CONSOLE_COLS * CONSOLE_ROWS> Cells;
  int X, Y;
  bool Visible;
  uint8_t ConsoleAttr, TrackedAttr;
  TAnsiParserState Parser;
};

bool operator==(const Screen &A, const Screen &B) {
  for (size_t i = 0; i < A.Cells.size(); i++)
    if (A.Cells[i].Ch != B.Cells[i].Ch || A.Cells[i].Attr != B.Cells[i].Attr) return false;
  return A.X == B.X && A.Y == B.Y && A.Visible == B.Visible && A.ConsoleAttr == B.ConsoleAttr &&
         A.TrackedAttr == B.TrackedAttr && A.Parser == B.Parser;
}

Screen Capture() {
  Screen s{};
  for (int y = 1; y <= CONSOLE_ROWS; y++)
    for (int x = 1; x <= CONSOLE_COLS; x++)
      s.Cells[static_cast<size_t>((y - 1) * CONSOLE_COLS + x - 1)] = ConsoleCell(x, y);
  s.X = ConsoleCursorX();
  s.Y = ConsoleCursorY();
  s.Visible = ConsoleCursorVisible();
  s.ConsoleAttr = TextAttr;
  s.TrackedAttr = GetTextAttr();
  s.Parser = AnsiCurrentState();
  return s;
}

std::string Trimmed(std::string AText) {
  while (!AText.empty() && AText.back() == ' ') AText.pop_back();
  return AText;
}

struct RowExpect {
  int Row;            // absolute
  std::string Text;   // trailing blanks ignored
  std::string Attrs = {};  // attributes of the first cells, when given
};

struct WriteCase {
  const char *Name;
  std::string Input;
  int StartX = 1, StartY = 1;
  uint8_t StartAttr = 0x07;
  bool Window24 = false;  // rows 1-24, as in a caller's session; row 25 holds STATUS
  bool Filled = false;    // each window row r starts with "L" and r in two digits
  int X = 1, Y = 1;       // cursor afterwards (the window starts at 1, 1)
  uint8_t Attr = 0x07;
  std::vector<RowExpect> Rows = {};
  bool Visible = true;
};

class AnsiWriteTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }

  static void Reset() {
    ConsoleReset();
    Crt2Reset();
    AnsiReset();
  }

  static void Prepare(const WriteCase &c) {
    Reset();
    if (c.Window24) {
      GotoXY(1, 25);
      ConsoleWrite(STATUS_TEXT);
      Window(1, 1, 80, 24);
    }
    const int height = c.Window24 ? 24 : 25;
    if (c.Filled) {
      for (int r = 1; r <= height; r++) {
        GotoXY(1, static_cast<uint8_t>(r));
        ConsoleWrite((r < 10 ? "L0" : "L") + std::to_string(r));
      }
    }
    SetTextAttr(c.StartAttr);
    GotoXY(static_cast<uint8_t>(c.StartX), static_cast<uint8_t>(c.StartY));
  }

  static void Check(const WriteCase &c) {
    EXPECT_EQ(ConsoleCursorX(), c.X);
    EXPECT_EQ(ConsoleCursorY(), c.Y);
    EXPECT_EQ(GetTextAttr(), c.Attr);
    EXPECT_EQ(TextAttr, c.Attr);
    EXPECT_EQ(ConsoleCursorVisible(), c.Visible);
    for (const auto &r : c.Rows) {
      SCOPED_TRACE("row " + std::to_string(r.Row));
      EXPECT_EQ(Trimmed(ConsoleRowText(r.Row)), r.Text);
      for (size_t i = 0; i < r.Attrs.size(); i++)
        EXPECT_EQ(ConsoleCell(static_cast<int>(i) + 1, r.Row).Attr, static_cast<uint8_t>(r.Attrs[i]))
            << "column " << i + 1;
    }
    if (c.Window24) {
      EXPECT_EQ(Trimmed(ConsoleRowText(25)), STATUS_TEXT);
    }
  }

  // Whole, then split at every byte boundary, then byte by byte: the state carries over.
  static void Run(const WriteCase &c) {
    Prepare(c);
    AnsiWrite(c.Input);
    Check(c);
    const Screen whole = Capture();
    for (size_t k = 1; k < c.Input.size(); k++) {
      Prepare(c);
      AnsiWrite(std::string_view(c.Input).substr(0, k));
      AnsiWrite(std::string_view(c.Input).substr(k));
      EXPECT_TRUE(Capture() == whole) << "split after byte " << k;
    }
    Prepare(c);
    for (char ch : c.Input) AnsiWrite(std::string_view(&ch, 1));
    EXPECT_TRUE(Capture() == whole) << "byte by byte";
  }

  static void RunAll(const std::vector<WriteCase> &ACases) {
    for (const auto &c : ACases) {
      SCOPED_TRACE(c.Name);
      Run(c);
    }
  }
};

TEST_F(AnsiWriteTest, Erase) {
  RunAll({
      {.Name = "ED 2 clears the window and homes", .Input = "\x1b[2J", .StartX = 5, .StartY = 5,
       .Window24 = true, .Filled = true, .Rows = {{1, ""}, {5, ""}, {24, ""}}},
      {.Name = "ED 2 clears in the current attribute", .Input = "\x1b[2J", .StartAttr = 0x1E,
       .Filled = true, .Attr = 0x1E, .Rows = {{3, "", "\x1e\x1e"}, {25, "", "\x1e"}}},
      {.Name = "ED 0 does nothing", .Input = "\x1b[J", .StartX = 5, .StartY = 5, .Filled = true,
       .X = 5, .Y = 5, .Rows = {{3, "L03"}, {5, "L05"}, {25, "L25"}}},
      {.Name = "ED 1 does nothing", .Input = "\x1b[1J", .StartX = 5, .StartY = 5, .Filled = true,
       .X = 5, .Y = 5, .Rows = {{1, "L01"}, {5, "L05"}}},
      {.Name = "EL clears to the end of the line", .Input = "\x1b[K", .StartX = 2, .StartY = 3,
       .Filled = true, .X = 2, .Y = 3, .Rows = {{3, "L"}, {4, "L04"}}},
      {.Name = "EL 0 clears to the end of the line", .Input = "\x1b[0K", .StartX = 2,
       .StartY = 3, .Filled = true, .X = 2, .Y = 3, .Rows = {{3, "L"}}},
      {.Name = "EL 2 does nothing", .Input = "\x1b[2K", .StartX = 2, .StartY = 3,
       .Filled = true, .X = 2, .Y = 3, .Rows = {{3, "L03"}}},
  });
}

TEST_F(AnsiWriteTest, CursorVisibility) {
  RunAll({
      {.Name = "hide", .Input = "\x1b[?25l", .Visible = false},
      {.Name = "hide then show", .Input = "\x1b[?25l\x1b[?25h", .Visible = true},
      {.Name = "wrap mode is no cursor mode", .Input = "\x1b[?25l\x1b[?7h", .Visible = false},
      {.Name = "without the question mark", .Input = "\x1b[25l", .Visible = false},
  });
}

TEST_F(AnsiWriteTest, CursorPosition) {
  RunAll({
      {.Name = "row then column", .Input = "\x1b[10;5H", .X = 5, .Y = 10},
      {.Name = "f is the same", .Input = "\x1b[10;5f", .X = 5, .Y = 10},
      {.Name = "no parameters home", .Input = "\x1b[H", .StartX = 5, .StartY = 5},
      {.Name = "empty parameters home", .Input = "\x1b[;H", .StartX = 5, .StartY = 5},
      {.Name = "zeros home", .Input = "\x1b[0;0H", .StartX = 5, .StartY = 5},
      {.Name = "row only", .Input = "\x1b[5H", .X = 1, .Y = 5},
      {.Name = "last cell", .Input = "\x1b[25;80H", .X = 80, .Y = 25},
      {.Name = "below a 24-row window", .Input = "\x1b[30;1H", .StartX = 3, .StartY = 3,
       .Window24 = true, .X = 3, .Y = 3},
      {.Name = "status row is outside the window", .Input = "\x1b[25;1H", .StartX = 3,
       .StartY = 3, .Window24 = true, .X = 3, .Y = 3},
      {.Name = "beyond the last column", .Input = "\x1b[1;81H", .StartX = 3, .StartY = 3,
       .X = 3, .Y = 3},
      {.Name = "row 257 is not row 1", .Input = "\x1b[257;1H", .StartX = 3, .StartY = 3,
       .X = 3, .Y = 3},
      {.Name = "column 258 is not column 2", .Input = "\x1b[1;258H", .StartX = 3, .StartY = 3,
       .X = 3, .Y = 3},
      {.Name = "row too long for 32 bits counts as 0", .Input = "\x1b[99999999999;5H",
       .StartX = 3, .StartY = 3, .X = 5, .Y = 1},
      {.Name = "earlier parameters do not carry over", .Input = "\x1b[10;20H\x1b[5H", .X = 1,
       .Y = 5},
      {.Name = "save and restore", .Input = "\x1b[s\x1b[10;20H\x1b[u", .StartX = 7, .StartY = 3,
       .X = 7, .Y = 3},
      {.Name = "restore before any save homes", .Input = "\x1b[u", .StartX = 5, .StartY = 5},
  });
}

TEST_F(AnsiWriteTest, CursorMoves) {
  RunAll({
      {.Name = "up 0 is one", .Input = "\x1b[0A", .StartX = 5, .StartY = 5, .X = 5, .Y = 4},
      {.Name = "up 1", .Input = "\x1b[1A", .StartX = 5, .StartY = 5, .X = 5, .Y = 4},
      {.Name = "up without parameter", .Input = "\x1b[A", .StartX = 5, .StartY = 5, .X = 5, .Y = 4},
      {.Name = "up stops at row 1", .Input = "\x1b[5A", .StartX = 5, .StartY = 2, .X = 5, .Y = 1},
      {.Name = "up twelve nines is one", .Input = "\x1b[999999999999A", .StartX = 5, .StartY = 5,
       .X = 5, .Y = 4},
      {.Name = "up 2^31 is one", .Input = "\x1b[2147483648A", .StartX = 5, .StartY = 5, .X = 5,
       .Y = 4},
      {.Name = "down", .Input = "\x1b[3B", .StartX = 5, .StartY = 5, .X = 5, .Y = 8},
      {.Name = "down stops at the window bottom", .Input = "\x1b[99B", .StartX = 5, .StartY = 5,
       .Window24 = true, .X = 5, .Y = 24},
      {.Name = "down by the largest count", .Input = "\x1b[2147483647B", .StartX = 5,
       .StartY = 5, .X = 5, .Y = 25},
      {.Name = "forward stops at the last column", .Input = "\x1b[99C", .StartX = 5, .StartY = 5,
       .X = 80, .Y = 5},
      {.Name = "forward by the largest count", .Input = "\x1b[2147483647C", .StartX = 5,
       .StartY = 5, .X = 80, .Y = 5},
      {.Name = "backward", .Input = "\x1b[3D", .StartX = 5, .StartY = 5, .X = 2, .Y = 5},
      {.Name = "backward stops at column 1", .Input = "\x1b[9D", .StartX = 5, .StartY = 5, .X = 1,
       .Y = 5},
      {.Name = "next line", .Input = "\x1b[2E", .StartX = 5, .StartY = 5, .X = 1, .Y = 7},
      {.Name = "preceding line", .Input = "\x1b[2F", .StartX = 5, .StartY = 5, .X = 1, .Y = 3},
      {.Name = "column absolute", .Input = "\x1b[10G", .StartX = 5, .StartY = 5, .X = 10, .Y = 5},
      {.Name = "column 80", .Input = "\x1b[80G", .StartX = 5, .StartY = 5, .X = 80, .Y = 5},
      {.Name = "column beyond the window does nothing", .Input = "\x1b[100G", .StartX = 5,
       .StartY = 5, .X = 5, .Y = 5},
  });
}

TEST_F(AnsiWriteTest, GraphicRendition) {
  RunAll({
      {.Name = "bold yellow", .Input = "\x1b[1;33m", .Attr = 0x0E},
      {.Name = "colour keeps intensity", .Input = "\x1b[1;33m\x1b[31m", .Attr = 0x0C},
      {.Name = "normal intensity then colour", .Input = "\x1b[1;33m\x1b[31m\x1b[22;31m",
       .Attr = 0x04},
      {.Name = "reset", .Input = "\x1b[1;33m\x1b[0m", .Attr = 0x07},
      {.Name = "reset, bold, background, colour", .Input = "\x1b[0;1;44;33m", .Attr = 0x1E},
      {.Name = "colour clears blink", .Input = "\x1b[5;32m", .Attr = 0x02},
      {.Name = "blink", .Input = "\x1b[5m", .Attr = 0x87},
      {.Name = "rapid blink", .Input = "\x1b[6m", .Attr = 0x87},
      {.Name = "blink off", .Input = "\x1b[25m", .StartAttr = 0x87, .Attr = 0x07},
      {.Name = "bright colour clears blink", .Input = "\x1b[32m", .StartAttr = 0x8E, .Attr = 0x0A},
      {.Name = "background", .Input = "\x1b[41m", .Attr = 0x47},
      {.Name = "background keeps blink", .Input = "\x1b[46m", .StartAttr = 0x8E, .Attr = 0xBE},
      {.Name = "reverse", .Input = "\x1b[7m", .StartAttr = 0x1E, .Attr = 0x61},
      {.Name = "reverse twice loses intensity", .Input = "\x1b[7m\x1b[27m", .StartAttr = 0x1E,
       .Attr = 0x16},
      {.Name = "empty is reset", .Input = "\x1b[m", .StartAttr = 0x1E, .Attr = 0x07},
      {.Name = "unsupported do nothing", .Input = "\x1b[2;3;4;9;20;21;23;24;26;29;38;39;48;90;107m",
       .StartAttr = 0x1E, .Attr = 0x1E},
      {.Name = "concealed text is black on black", .Input = "\x1b[8mX\x1b[28mY",
       .StartAttr = 0x1E, .X = 3, .Attr = 0x1E, .Rows = {{1, "XY", std::string("\x00\x1e", 2)}}},
      {.Name = "reveal without conceal gives 7", .Input = "\x1b[28m", .StartAttr = 0x1E,
       .Attr = 0x07},
      {.Name = "text takes the colour", .Input = "a\x1b[1;31mb\x1b[44mc", .X = 4, .Attr = 0x1C,
       .Rows = {{1, "abc", "\x07\x0c\x1c"}}},
      {.Name = "spaces and private markers skipped anywhere", .Input = "\x1b[ ?>=<1 ;3 3mX",
       .X = 2, .Attr = 0x0E, .Rows = {{1, "X", "\x0e"}}},
  });
}

TEST_F(AnsiWriteTest, InsertAndDeleteLines) {
  RunAll({
      {.Name = "insert two", .Input = "\x1b[2L", .StartY = 10, .Filled = true, .Y = 10,
       .Rows = {{9, "L09"}, {10, ""}, {11, ""}, {12, "L10"}, {25, "L23"}}},
      {.Name = "insert 0 is one", .Input = "\x1b[0L", .StartY = 10, .Filled = true, .Y = 10,
       .Rows = {{10, ""}, {11, "L10"}}},
      {.Name = "delete two", .Input = "\x1b[2M", .StartY = 10, .Filled = true, .Y = 10,
       .Rows = {{9, "L09"}, {10, "L12"}, {23, "L25"}, {24, ""}, {25, ""}}},
      {.Name = "insert by the largest count", .Input = "\x1b[2147483647L", .StartY = 20,
       .Window24 = true, .Filled = true, .Y = 20, .Rows = {{19, "L19"}, {20, ""}, {24, ""}}},
      {.Name = "delete by a huge count", .Input = "\x1b[99999M", .StartY = 20, .Window24 = true,
       .Filled = true, .Y = 20, .Rows = {{19, "L19"}, {20, ""}, {24, ""}}},
      {.Name = "inserted rows take the attribute", .Input = "\x1b[44m\x1b[L", .StartY = 2,
       .Filled = true, .Y = 2, .Attr = 0x17, .Rows = {{2, "", "\x17"}, {3, "L02", "\x07"}}},
  });
}

TEST_F(AnsiWriteTest, BrokenAndForeignSequences) {
  RunAll({
      {.Name = "split colour", .Input = "\x1b[31mX", .X = 2, .Attr = 0x04,
       .Rows = {{1, "X", "\x04"}}},
      {.Name = "ESC c shows nothing", .Input = "\x1b" "cAB", .X = 3, .Rows = {{1, "AB"}}},
      {.Name = "ESC ESC shows neither", .Input = "\x1b\x1b[31mX", .X = 6, .Rows = {{1, "[31mX"}}},
      {.Name = "ESC ends an open sequence", .Input = "\x1b[3\x1b[31mX", .X = 6,
       .Rows = {{1, "[31mX"}}},
      {.Name = "intermediate byte ends it", .Input = "\x1b[!pX", .X = 3, .Rows = {{1, "pX"}}},
      {.Name = "slash ends it", .Input = "\x1b[1;/31mX", .X = 5, .Rows = {{1, "31mX"}}},
      {.Name = "colon ends it", .Input = "\x1b[1:2mX", .X = 4, .Rows = {{1, "2mX"}}},
      {.Name = "CR inside is not carried out", .Input = "\x1b[\rX", .StartX = 5, .X = 6,
       .Rows = {{1, "    X"}}},
      {.Name = "LF inside is not carried out", .Input = "\x1b[\nX", .StartX = 5, .X = 6,
       .Rows = {{1, "    X"}}},
      {.Name = "high byte ends it", .Input = "\x1b[1\xb0X", .X = 2, .Rows = {{1, "X"}}},
      {.Name = "music shows as text", .Input = "\x1b[NMFT120L8CDE\x0e", .X = 13,
       .Rows = {{1, "MFT120L8CDE\x0e"}}},
      {.Name = "reports and scrolls do nothing", .Input = "\x1b[5n\x1b[6n\x1b[255n\x1b[2S\x1b[T",
       .StartX = 5, .StartY = 5, .Filled = true, .X = 5, .Y = 5,
       .Rows = {{1, "L01"}, {5, "L05"}, {25, "L25"}}},
      {.Name = "sequence left open at the end", .Input = "AB\x1b[1;3", .X = 3,
       .Rows = {{1, "AB"}}},
      {.Name = "ESC left open at the end", .Input = "AB\x1b", .X = 3, .Rows = {{1, "AB"}}},
      {.Name = "control bytes are glyphs", .Input = std::string("A\x0e\x00\x1a" "B", 5), .X = 6,
       .Rows = {{1, std::string("A\x0e\x00\x1a" "B", 5)}}},
  });
}

TEST_F(AnsiWriteTest, OpenSequenceContinuesInTheNextCall) {
  AnsiWrite("x\x1b[3");
  EXPECT_EQ(AnsiCurrentState(), TAnsiParserState::HaveBracket);
  AnsiWrite("1my");
  EXPECT_EQ(AnsiCurrentState(), TAnsiParserState::None);
  EXPECT_EQ(Trimmed(ConsoleRowText(1)), "xy");
  EXPECT_EQ(ConsoleCell(2, 1).Attr, 0x04);
  EXPECT_EQ(GetTextAttr(), 0x04);
}

// A colour the tracked attribute has already is not sent to the console again, unless the
// console's attribute was changed behind crt2's back: then it follows the console's rules.
TEST_F(AnsiWriteTest, RestatedColoursStillReachAConsoleThatDiffers) {
  SetTextAttr(0x07);
  AnsiWrite("\x1b[0;37m\x1b[40mA");
  EXPECT_EQ(TextAttr, 0x07);
  TextAttr = 0x1E;
  AnsiWrite("\x1b[37mB");
  EXPECT_EQ(ConsoleCell(2, 1).Attr, 0x17);
  EXPECT_EQ(GetTextAttr(), 0x07);
  AnsiWrite("\x1b[40mC");
  EXPECT_EQ(ConsoleCell(3, 1).Attr, 0x07);
  EXPECT_EQ(GetTextAttr(), 0x07);
}

// A terminal applies every SGR parameter, however many: so does the mirror, in bounded
// memory, and a sequence of more parameters than it keeps still ends where it should.
TEST_F(AnsiWriteTest, EveryColourParameterCountsPastTheKeptOnes) {
  const auto Repeat = [](const std::string &AParam, int ACount) {
    std::string R;
    for (int i = 0; i < ACount; i++) R += AParam;
    return R;
  };
  struct TCase {
    const char *Name;
    std::string Sequence;
    uint8_t Attr;
  };
  const TCase kCases[] = {
      {"up to the cap", "\x1b[" + Repeat("22;", ANSI_MAX_PARAMS - 2) + "1;33m", 0x0E},
      {"39 resets, then red", "\x1b[" + Repeat("0;", 39) + "31m", 0x04},
      {"bright, a background, then thousands of no-ops", "\x1b[1;44;" + Repeat("2;", 5000) + "33m", 0x1E},
      {"concealed early, revealed late", "\x1b[0;36;" + Repeat("4;", 40) + "8;" + Repeat("4;", 40) + "28m", 0x03},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    AnsiReset();
    SetTextAttr(0x07);
    AnsiWrite("\x1b[0m" + C.Sequence + "A");
    EXPECT_EQ(GetTextAttr(), C.Attr);
    EXPECT_EQ(TextAttr, C.Attr);
    EXPECT_EQ(ConsoleCell(ConsoleCursorX() - 1, ConsoleCursorY()).Attr, C.Attr);
  }
  // Other sequences read their first parameters only.
  AnsiWrite("\x1b[5;10" + Repeat(";1", 40) + "HZ");
  EXPECT_EQ(ConsoleCell(10, 5).Ch, 'Z');
}

TEST_F(AnsiWriteTest, HostileSequencesStayBounded) {
  GotoXY(5, 5);
  AnsiWrite("\x1b[" + std::string(1 << 20, '9') + "A");  // endless digits count as 0
  EXPECT_EQ(ConsoleCursorY(), 4);
  std::string many = "\x1b[";
  for (int i = 0; i < 200000; i++) many += "1;";
  AnsiWrite(many + "31mZ");
  EXPECT_EQ(AnsiCurrentState(), TAnsiParserState::None);
  EXPECT_EQ(ConsoleCell(5, 4).Ch, 'Z');
  AnsiWrite("\x1b[" + std::string(200000, ';') + "H");
  EXPECT_EQ(ConsoleCursorX(), 1);
  EXPECT_EQ(ConsoleCursorY(), 1);
}

// Random bytes rich in sequence material never move the cursor out of the window or touch
// the status row, and the two attribute copies never part.
TEST_F(AnsiWriteTest, RandomBytesStayInsideTheWindow) {
  GotoXY(1, 25);
  ConsoleWrite(STATUS_TEXT);
  Window(1, 1, 80, 24);
  const std::string alphabet = "\x1b\x1b\x1b[[[;;0123456789ABCDEFGHJKLMSTfhlmnsu?= \r\n\b\x07xy";
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  for (int chunk = 0; chunk < 2000; chunk++) {
    std::string bytes(1 + next() % 300, '\0');
    for (char &b : bytes)
      b = next() % 4 == 0 ? static_cast<char>(next() & 0xFF) : alphabet[next() % alphabet.size()];
    AnsiWrite(bytes);
    ASSERT_GE(ConsoleCursorX(), 1);
    ASSERT_LE(ConsoleCursorX(), 80);
    ASSERT_GE(ConsoleCursorY(), 1);
    ASSERT_LE(ConsoleCursorY(), 24);
    ASSERT_EQ(GetTextAttr(), TextAttr);
    ASSERT_EQ(Trimmed(ConsoleRowText(25)), STATUS_TEXT) << "chunk " << chunk;
  }
}

}  // namespace
