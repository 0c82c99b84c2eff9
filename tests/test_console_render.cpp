// What the sysop's terminal shows: the console's drawing fed into an independent terminal
// emulator must show the console's cells, characters and colours, UTF-8 and raw.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "doorkit/console.h"
#include "console_internal.h"
#include "doorkit/videoutils.h"
#include "vtscreen.h"

namespace {

// CP437 as Unicode, the control bytes as the glyphs a PC shows for them.
constexpr uint32_t CP437[256] = {
    0x0020, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022,  // 00
    0x25D8, 0x25CB, 0x25D9, 0x2642, 0x2640, 0x266A, 0x266B, 0x263C,  // 08
    0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8,  // 10
    0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC,  // 18
    0x0020, 0x0021, 0x0022, 0x0023, 0x0024, 0x0025, 0x0026, 0x0027,  // 20
    0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F,  // 28
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037,  // 30
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F,  // 38
    0x0040, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0047,  // 40
    0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F,  // 48
    0x0050, 0x0051, 0x0052, 0x0053, 0x0054, 0x0055, 0x0056, 0x0057,  // 50
    0x0058, 0x0059, 0x005A, 0x005B, 0x005C, 0x005D, 0x005E, 0x005F,  // 58
    0x0060, 0x0061, 0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067,  // 60
    0x0068, 0x0069, 0x006A, 0x006B, 0x006C, 0x006D, 0x006E, 0x006F,  // 68
    0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077,  // 70
    0x0078, 0x0079, 0x007A, 0x007B, 0x007C, 0x007D, 0x007E, 0x2302,  // 78
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // E0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // E8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // F8
};

struct ConsoleRenderTest : ::testing::Test {
  void SetUp() override { ConsoleReset(); }
  void TearDown() override { ConsoleReset(); }
};

// Bytes an 8-bit terminal takes as characters: no C1 controls, no DEL.
bool RawSafe(int ACh) { return ACh < 0x80 || (ACh >= 0xA0 && ACh < 0xFF); }

// The cells of the screen that the terminal shows (ACols x ARows of them, from the top left).
// A terminal of 24 rows goes without row 24 while row 25 is outside the window (the status
// bar's), else without row 25.
int ScreenRow(int ATermRow, int ARows) {
  const bool StatusKept = ARows == CONSOLE_ROWS - 1 && (WindMax() >> 8) < CONSOLE_ROWS - 1;
  return StatusKept && ATermRow == CONSOLE_ROWS - 1 ? CONSOLE_ROWS : ATermRow;
}

void ExpectSameScreen(const TVtScreen &AVt, bool AUtf8, int ACols = CONSOLE_COLS, int ARows = CONSOLE_ROWS) {
  int Bad = 0;
  int CursorRow = 0;  // the terminal row that shows the console's cursor, 0: none
  for (int Y = 1; Y <= ARows; Y++) {
    if (ScreenRow(Y, ARows) == ConsoleCursorY()) CursorRow = Y;
    for (int X = 1; X <= ACols && Bad < 5; X++) {
      const TConsoleCell C = ConsoleCell(X, ScreenRow(Y, ARows));
      const uint32_t Shown = VtChar(AVt, X, Y);
      bool Ok;
      if (AUtf8)
        Ok = Shown == CP437[C.Ch];
      else if (C.Ch < 0x20 || C.Ch == 0x7F)
        Ok = Shown >= 0x20 && Shown < 0x7F;  // a printable stand-in
      else if (C.Ch < 0x80)
        Ok = Shown == C.Ch;
      else
        Ok = Shown == (C.Ch & 0x7Fu);  // libvterm drops the eighth bit of 8-bit text
      Ok = Ok && VtAttr(AVt, X, Y) == C.Attr;
      if (!Ok) {
        Bad++;
        ADD_FAILURE() << "cell " << X << "," << Y << ": console " << int(C.Ch) << "/" << int(C.Attr)
                      << ", terminal U+" << std::hex << Shown << "/" << int(VtAttr(AVt, X, Y));
      }
    }
  }
  const bool OnTerminal = ConsoleCursorX() <= ACols && CursorRow > 0;
  EXPECT_EQ(AVt.CursorVisible, ConsoleCursorVisible() && OnTerminal);
  if (ConsoleCursorVisible() && OnTerminal) {
    EXPECT_EQ(VtCursorX(AVt), ConsoleCursorX());
    EXPECT_EQ(VtCursorY(AVt), CursorRow);
  }
}

// Every drawn cell in colours of its own, none in the terminal's defaults: an erase has
// to take the colours set before it, as the cells it stands for would have.
void ExpectOwnColours(const TVtScreen &AVt, int ACols = CONSOLE_COLS, int ARows = CONSOLE_ROWS) {
  int Bad = 0;
  for (int Y = 1; Y <= ARows; Y++) {
    for (int X = 1; X <= ACols && Bad < 5; X++) {
      VTermScreenCell Cell{};
      vterm_screen_get_cell(AVt.Screen, VTermPos{Y - 1, X - 1}, &Cell);
      const auto Own = [](const VTermColor &C) {
        return VTERM_COLOR_IS_INDEXED(&C) && !VTERM_COLOR_IS_DEFAULT_FG(&C) && !VTERM_COLOR_IS_DEFAULT_BG(&C);
      };
      if (!Own(Cell.fg) || !Own(Cell.bg)) {
        Bad++;
        ADD_FAILURE() << "cell " << X << "," << Y << " is in the terminal's default colours";
      }
    }
  }
}

std::string Show(TVtScreen &AVt) {
  ConsoleFlush();
  std::string Sent = ConsoleTakeOutput();
  VtFeed(AVt, Sent);
  return Sent;
}

// Each row its own letter in a colour of its own, so erased cells show.
void FillColouredLetters() {
  for (int Y = 1; Y <= CONSOLE_ROWS; Y++)
    ConsoleWriteCells(1, static_cast<uint8_t>(Y), std::string(80, static_cast<char>('a' + Y - 1)),
                      static_cast<uint8_t>(0x01 + Y * 5 % 0x7F));
}

// Writes, colours, glyphs, windows, scrolls, line operations and clears, each step drawn
// on the terminal as the door would between two waits.
void RunScript(TVtScreen &AVt, bool AUtf8) {
  SCOPED_TRACE(AUtf8 ? "UTF-8" : "raw");
  Show(AVt);
  ExpectSameScreen(AVt, AUtf8);

  TextAttr = 0x1F;
  ClrScr();
  ConsoleWrite("\xda" + std::string(78, '\xc4') + "\xbf");  // the full row: the cursor wraps
  ConsoleWrite("\xb3 Welcome\r\n");
  Show(AVt);
  ExpectSameScreen(AVt, AUtf8);

  for (int A = 0; A < 256; A += 7) {
    TextAttr = static_cast<uint8_t>(A);
    ConsoleWrite("Hi");
  }
  TextAttr = 0x07;
  GotoXY(1, 6);
  for (int Ch = 0; Ch < 256; Ch++)
    if (Ch != '\r' && Ch != '\n' && Ch != '\b' && Ch != '\a' && (AUtf8 || RawSafe(Ch)))
      ConsoleWrite(std::string(1, static_cast<char>(Ch)));
  Show(AVt);
  ExpectSameScreen(AVt, AUtf8);

  Window(10, 12, 50, 17);
  TextAttr = 0x2E;
  ClrScr();
  for (int I = 1; I <= 9; I++) ConsoleWrite("line " + std::to_string(I) + " \xb0\xb1\xb2\xdb\xfe\x0e\r\n");
  Show(AVt);
  ExpectSameScreen(AVt, AUtf8);

  GotoXY(5, 2);
  TextAttr = 0xCF;
  ClrEol();
  GotoXY(1, 3);
  InsLine();
  ConsoleWrite("inserted, blinking");
  GotoXY(1, 5);
  DelLine();
  DelLine();
  Show(AVt);
  ExpectSameScreen(AVt, AUtf8);

  Window(1, 1, 80, 24);
  FastWrite(std::string(80, '\xdb'), 1, 25, 0x70);  // the bottom-right cell too, no scroll
  FastWrite(" status ", 36, 25, 0x1E);
  GotoXY(30, 20);
  CursorOff();
  Show(AVt);
  ExpectSameScreen(AVt, AUtf8);

  // The same characters in other colours; the cursor back on.
  for (int Y = 1; Y <= 3; Y++) {
    const std::string Row = ConsoleRowText(Y);
    FastWrite(Row, 1, static_cast<uint8_t>(Y), static_cast<uint8_t>(0x30 + Y));
  }
  CursorOn();
  GotoXY(80, 24);
  Show(AVt);
  ExpectSameScreen(AVt, AUtf8);
}

TEST_F(ConsoleRenderTest, ScriptShowsTheSameScreenInUtf8) {
  ConsoleSetTestTerminal(80, 25, true);
  TVtScreen Vt(80, 25, true);
  RunScript(Vt, true);
}

TEST_F(ConsoleRenderTest, ScriptShowsTheSameScreenInRawBytes) {
  ConsoleSetTestTerminal(80, 25, false);
  TVtScreen Vt(80, 25, false);
  RunScript(Vt, false);
}

TEST_F(ConsoleRenderTest, FullCp437TableInUtf8) {
  struct TCase {
    uint8_t Ch;
    const char *Utf8;
  };
  const TCase kCases[] = {
      {0x00, " "}, {0x01, "\u263a"}, {0x0e, "\u266b"}, {0x1b, "\u2190"}, {0x7f, "\u2302"},
      {0x80, "\u00c7"}, {0xb0, "\u2591"}, {0xc4, "\u2500"}, {0xdb, "\u2588"}, {0xe1, "\u00df"},
      {0xfe, "\u25a0"}, {0xff, "\u00a0"},
  };
  ConsoleSetTestTerminal(80, 25, true);
  ConsoleFlush();
  ConsoleTakeOutput();
  for (const TCase &C : kCases) {
    SCOPED_TRACE(int(C.Ch));
    FastWrite(std::string(1, static_cast<char>(C.Ch)), 2, 1, 0x07);
    ConsoleFlush();
    EXPECT_EQ(ConsoleTakeOutput(), "\x1b[C" + std::string(C.Utf8) + "\r");
  }
  TVtScreen Vt(80, 25, true);
  for (int Ch = 0; Ch < 256; Ch++)
    FastWrite(std::string(1, static_cast<char>(Ch)), static_cast<uint8_t>(1 + Ch % 64),
              static_cast<uint8_t>(1 + Ch / 64), 0x07);
  Show(Vt);
  for (int Ch = 0; Ch < 256; Ch++) EXPECT_EQ(VtChar(Vt, 1 + Ch % 64, 1 + Ch / 64), CP437[Ch]) << Ch;
}

TEST_F(ConsoleRenderTest, AnUnchangedScreenSendsNothing) {
  ConsoleSetTestTerminal(80, 25, true);
  TextAttr = 0x1E;
  ConsoleWrite("Hello \xfe world");
  FastWrite("status", 1, 25, 0x70);
  ConsoleFlush();
  EXPECT_NE(ConsoleTakeOutput(), "");
  ConsoleFlush();
  EXPECT_EQ(ConsoleTakeOutput(), "");
  // The same cells again, and the cursor back where it was.
  GotoXY(1, 1);
  ConsoleWrite("Hello \xfe world");
  FastWrite("status", 1, 25, 0x70);
  KeyPressed();
  EXPECT_EQ(ConsoleTakeOutput(), "");
}

// From the screen as drawn (blank, attribute 7, cursor home), one cell changes.
TEST_F(ConsoleRenderTest, OnlyTheChangeIsSentWithShortMovesAndColourChanges) {
  struct TCase {
    const char *Name;
    int X, Y;
    uint8_t Attr;
    std::string Sent;
  };
  const TCase kCases[] = {
      {"same colours", 40, 12, 0x07, "\x1b[12;40HZ\x1b[H"},
      {"yellow on blue", 1, 1, 0x1E, "\x1b[93;44mZ\r"},
      {"bright white blinking", 3, 1, 0x8F, "\x1b[2C\x1b[97;5mZ\r"},
      {"black on grey", 1, 2, 0x70, "\x1b[B\x1b[30;47mZ\x1b[H"},
      {"light red", 1, 1, 0x0C, "\x1b[91mZ\r"},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    ConsoleReset();
    ConsoleSetTestTerminal(80, 25, true);
    ConsoleFlush();
    ConsoleTakeOutput();
    FastWrite("Z", static_cast<uint8_t>(C.X), static_cast<uint8_t>(C.Y), C.Attr);
    ConsoleFlush();
    EXPECT_EQ(ConsoleTakeOutput(), C.Sent);
  }
}

TEST_F(ConsoleRenderTest, ResizeRedrawsEverythingAndSmallTerminalsSaySo) {
  ConsoleSetTestTerminal(80, 25, true);
  TVtScreen Vt(80, 25, true);
  for (int Y = 1; Y <= 25; Y++)
    FastWrite("row " + std::to_string(Y) + std::string(70, '\xb1'), 1, static_cast<uint8_t>(Y),
              static_cast<uint8_t>(Y));
  Show(Vt);
  ExpectSameScreen(Vt, true);

  VtResize(Vt, 100, 30);
  VtFeed(Vt, "\x1b[H\x1b[2Jgarbage the terminal left");
  ConsoleSetTestTerminal(100, 30, true);
  Show(Vt);
  ExpectSameScreen(Vt, true);
  EXPECT_EQ(VtChar(Vt, 90, 1), uint32_t(' '));

  // Too small to show the screen: the terminal says so, and nothing of the screen is cut
  // short in silence; the cursor hides.
  VtResize(Vt, 60, 20);
  ConsoleSetTestTerminal(60, 20, true);
  Show(Vt);
  EXPECT_EQ(VtRowText(Vt, 1).substr(0, 60), "Terminal 60x20 is too small: the door's screen needs 80x24  ");
  for (int Y = 2; Y <= 20; Y++) EXPECT_EQ(VtRowText(Vt, Y), std::string(60, ' ')) << Y;
  EXPECT_FALSE(Vt.CursorVisible);
  FastWrite("more", 1, 1, 0x07);
  EXPECT_EQ(Show(Vt), "");

  // Large enough again: everything is drawn.
  VtResize(Vt, 80, 25);
  ConsoleSetTestTerminal(80, 25, true);
  GotoXY(5, 5);
  Show(Vt);
  ExpectSameScreen(Vt, true);
  EXPECT_TRUE(Vt.CursorVisible);
}

// 80x24, the size of many a sysop's terminal: with the window above the status bar, row 24
// of the screen is the one given up, so the status bar stays in sight on the last row.
TEST_F(ConsoleRenderTest, TwentyFourRowsKeepTheStatusBar) {
  ConsoleSetTestTerminal(80, 24, true);
  TVtScreen Vt(80, 24, true);
  FillColouredLetters();
  Show(Vt);
  ExpectSameScreen(Vt, true, 80, 24);
  EXPECT_EQ(VtChar(Vt, 1, 24), uint32_t('x')) << "without a status bar row 25 goes";

  Window(1, 1, 80, 24);
  FastWrite(" Caller Name  Left: 00:59:59", 1, 25, 0x1F);
  Show(Vt);
  ExpectSameScreen(Vt, true, 80, 24);
  EXPECT_EQ(VtRowText(Vt, 24).substr(0, 28), " Caller Name  Left: 00:59:59");
  EXPECT_EQ(VtRowText(Vt, 23).substr(0, 3), "www");
  // Text scrolling in the window, the cursor on the row given up: hidden, not misplaced.
  GotoXY(1, 24);
  ConsoleWrite("on row 24");
  Show(Vt);
  ExpectSameScreen(Vt, true, 80, 24);
  EXPECT_FALSE(Vt.CursorVisible);
  ConsoleWrite("\r\nand scrolled");
  Show(Vt);
  ExpectSameScreen(Vt, true, 80, 24);
  EXPECT_EQ(VtRowText(Vt, 23).substr(0, 9), "on row 24");
  EXPECT_EQ(VtRowText(Vt, 24).substr(0, 12), " Caller Name");
  EXPECT_EQ(ConsoleGoodbyeText(), "\x1b[0m\x1b[?7h\x1b[?25h\x1b[24H\r\n");
}

TEST_F(ConsoleRenderTest, GoodbyeLeavesTheCursorBelowTheScreen) {
  struct TCase {
    int Rows;
    std::string Bye;
  };
  const TCase kCases[] = {
      {30, "\x1b[0m\x1b[?7h\x1b[?25h\x1b[26H"},
      {25, "\x1b[0m\x1b[?7h\x1b[?25h\x1b[25H\r\n"},
      {20, "\x1b[0m\x1b[?7h\x1b[?25h\x1b[20H\r\n"},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Rows);
    ConsoleSetTestTerminal(80, C.Rows, true);
    EXPECT_EQ(ConsoleGoodbyeText(), C.Bye);
  }

  // On a terminal of the screen's size the cursor goes below what is drawn, so a farewell
  // at the top stays in sight; only a screen drawn to its bottom row scrolls.
  ConsoleReset();
  ConsoleSetTestTerminal(80, 25, true);
  TVtScreen Vt(80, 25, true);
  ConsoleWrite("Thanks for checking out the Vantorama Demo!\r\nReturning to BBS...\r\n");
  Show(Vt);
  EXPECT_EQ(ConsoleGoodbyeText(), "\x1b[0m\x1b[?7h\x1b[?25h\x1b[3H");
  FastWrite("status", 1, 25, 0x1F);
  Show(Vt);
  EXPECT_EQ(ConsoleGoodbyeText(), "\x1b[0m\x1b[?7h\x1b[?25h\x1b[25H\r\n");
}

TEST_F(ConsoleRenderTest, WithoutATerminalNothingIsRendered) {
  ConsoleWrite("memory only");
  ConsoleFlush();
  Delay(0);
  KeyPressed();
  EXPECT_EQ(ConsoleTakeOutput(), "");
  EXPECT_EQ(ConsoleRowText(1).substr(0, 11), "memory only");
}

// A row ending in blanks of one colour is drawn with EL from the first blank that changed;
// the erased cells must show that colour, never the terminal's own.
TEST_F(ConsoleRenderTest, RowEndsOfBlanksAreErasedInTheirColours) {
  struct TCase {
    const char *Name;
    void (*Change)(TVtScreen &AVt);
    bool Erases;  // EL in what is sent
  };
  const TCase kCases[] = {
      {"blue blanks after a title",
       [](TVtScreen &) {
         ConsoleWriteCells(1, 3, "Title", 0x1E);
         ConsoleWriteCells(6, 3, std::string(75, ' '), 0x17);
       },
       true},
      {"cleared to the end in red",
       [](TVtScreen &) {
         GotoXY(10, 5);
         TextAttr = 0x4F;
         ClrEol();
       },
       true},
      {"the bottom row to the last cell",
       [](TVtScreen &) {
         ConsoleWriteCells(1, 25, " status ", 0x70);
         ConsoleWriteCells(9, 25, std::string(72, ' '), 0x30);
       },
       true},
      {"bright blanks keep their colour",
       [](TVtScreen &) { ConsoleWriteCells(40, 9, std::string(41, ' '), 0x6E); },
       true},
      {"only the changed part of a blank end",
       [](TVtScreen &AVt) {
         ConsoleWriteCells(1, 11, std::string(80, ' '), 0x20);
         Show(AVt);
         ConsoleWriteCells(50, 11, "xyz", 0x2F);
         ConsoleWriteCells(50, 11, "   ", 0x20);
       },
       false},
      {"blinking blanks are sent as blanks",
       [](TVtScreen &) { ConsoleWriteCells(1, 7, std::string(80, ' '), 0x9F); },
       false},
      {"three blanks are sent as blanks",
       [](TVtScreen &) { ConsoleWriteCells(78, 13, "   ", 0x50); },
       false},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    ConsoleReset();
    ConsoleSetTestTerminal(80, 25, true);
    TVtScreen Vt(80, 25, true);
    FillColouredLetters();
    Show(Vt);
    C.Change(Vt);
    const std::string Sent = Show(Vt);
    EXPECT_EQ(Sent.find("\x1b[K") != std::string::npos, C.Erases) << Sent;
    ExpectSameScreen(Vt, true);
    ExpectOwnColours(Vt);
  }
}

// EL and ED reach the terminal's edges: on a smaller terminal EL stops at its edge as the
// drawn row does; beside a wider or taller one they would wipe what lies beyond the screen,
// which stays as it was.
TEST_F(ConsoleRenderTest, ErasesStayOnTheScreenWhateverTheTerminalSize) {
  struct TCase {
    int Cols, Rows;
  };
  const TCase kCases[] = {{80, 24}, {80, 30}, {100, 25}, {100, 30}};
  for (const TCase &C : kCases) {
    SCOPED_TRACE(std::to_string(C.Cols) + "x" + std::to_string(C.Rows));
    ConsoleReset();
    ConsoleSetTestTerminal(C.Cols, C.Rows, true);
    TVtScreen Vt(C.Cols, C.Rows, true);
    const int Cols = std::min(C.Cols, CONSOLE_COLS), Rows = std::min(C.Rows, CONSOLE_ROWS);
    FillColouredLetters();
    Show(Vt);
    // Beyond the screen: the terminal's own text in its own colours.
    std::string Beyond = "\x1b[0m";
    for (int Y = 1; Y <= C.Rows; Y++)
      for (int X = 1; X <= C.Cols; X++)
        if (X > CONSOLE_COLS || Y > CONSOLE_ROWS) Beyond += "\x1b[" + std::to_string(Y) + ";" + std::to_string(X) + "H#";
    VtFeed(Vt, Beyond);
    ConsoleWriteCells(5, 2, std::string(76, ' '), 0x1F);
    GotoXY(20, 4);
    TextAttr = 0x2E;
    ClrEol();
    ConsoleWriteCells(1, static_cast<uint8_t>(Rows), std::string(80, ' '), 0x47);
    Show(Vt);
    ExpectSameScreen(Vt, true, Cols, Rows);
    ExpectOwnColours(Vt, Cols, Rows);
    TextAttr = 0x1F;
    ClrScr();
    ConsoleWrite("cleared");
    Show(Vt);
    ExpectSameScreen(Vt, true, Cols, Rows);
    ExpectOwnColours(Vt, Cols, Rows);
    int Kept = 0, Wiped = 0;
    for (int Y = 1; Y <= C.Rows; Y++)
      for (int X = 1; X <= C.Cols; X++)
        if (X > CONSOLE_COLS || Y > CONSOLE_ROWS) (VtChar(Vt, X, Y) == '#' && VtAttr(Vt, X, Y) == 0x07 ? Kept : Wiped)++;
    EXPECT_EQ(Wiped, 0) << Kept << " kept";
  }
}

// A clear, and the first screen, are drawn with ED in the colours of most blanks and then
// only what is not blank in them; the terminal shows every cell as before.
TEST_F(ConsoleRenderTest, ClearsAreErasedWhole) {
  struct TCase {
    const char *Name;
    bool StatusBar;  // window rows 1-24, row 25 kept, as in a caller's session
    uint8_t Attr;
    bool WholeErase;  // ED in what is sent
    size_t MostBytes;
  };
  const TCase kCases[] = {
      {"whole screen in blue", false, 0x1F, true, 40},
      {"window above the status bar", true, 0x07, false, 250},
      {"blinking blanks cannot be erased", false, 0x9E, false, 2500},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    ConsoleReset();
    ConsoleSetTestTerminal(80, 25, true);
    TVtScreen Vt(80, 25, true);
    FillColouredLetters();
    if (C.StatusBar) {
      FastWrite(std::string(80, '\xb1'), 1, 25, 0x1E);
      Window(1, 1, 80, 24);
    }
    Show(Vt);
    TextAttr = C.Attr;
    ClrScr();
    ConsoleWrite("Hello");
    const std::string Sent = Show(Vt);
    EXPECT_EQ(Sent.find("\x1b[2J") != std::string::npos, C.WholeErase) << Sent;
    EXPECT_LE(Sent.size(), C.MostBytes);
    ExpectSameScreen(Vt, true);
    ExpectOwnColours(Vt);
  }

  // The first screen: erased in the colours most of its blanks have.
  ConsoleReset();
  TextAttr = 0x1F;
  ClrScr();
  ConsoleWrite("first screen");
  FastWrite(std::string(80, ' '), 1, 25, 0x70);
  ConsoleSetTestTerminal(80, 25, true);
  TVtScreen Vt(80, 25, true);
  VtFeed(Vt, "\x1b[31;42mwhat the terminal showed before");
  const std::string Sent = Show(Vt);
  EXPECT_TRUE(Sent.starts_with("\x1b[?7l\x1b[H\x1b[0;97;44m\x1b[2J")) << Sent;
  EXPECT_LE(Sent.size(), 70u) << Sent;
  ExpectSameScreen(Vt, true);
  ExpectOwnColours(Vt);
}

// Random screens, many of them ending rows in blanks or cleared: after every frame the
// terminal shows the console's cells, on terminals of every kind of size.
TEST_F(ConsoleRenderTest, RandomScreensShowFrameByFrame) {
  struct TCase {
    int Cols, Rows;
    bool Utf8;
    bool Erase = true;  // false: a terminal that erases in its own colours (GNU screen)
  };
  const TCase kCases[] = {{80, 25, true}, {80, 25, false}, {80, 24, true}, {100, 30, true}, {80, 25, true, false}};
  for (const TCase &C : kCases) {
    SCOPED_TRACE(std::to_string(C.Cols) + "x" + std::to_string(C.Rows) + (C.Utf8 ? " UTF-8" : " raw") +
                 (C.Erase ? "" : " no erase"));
    ConsoleReset();
    ConsoleSetTestTerminal(C.Cols, C.Rows, C.Utf8);
    ConsoleSetTestErase(C.Erase);
    TVtScreen Vt(C.Cols, C.Rows, C.Utf8);
    const int Cols = std::min(C.Cols, CONSOLE_COLS), Rows = std::min(C.Rows, CONSOLE_ROWS);
    uint32_t Seed = 7;
    const auto Next = [&Seed](uint32_t AMod) {
      Seed = Seed * 1664525u + 1013904223u;
      return (Seed >> 8) % AMod;
    };
    // Few colours, so runs of one colour meet.
    const uint8_t kAttrs[] = {0x07, 0x07, 0x1F, 0x1E, 0x70, 0x0C, 0x8A, 0x47};
    const auto Attr = [&] { return kAttrs[Next(sizeof kAttrs)]; };
    for (int Step = 0; Step < 400; Step++) {
      const auto X = static_cast<uint8_t>(1 + Next(80)), Y = static_cast<uint8_t>(1 + Next(25));
      switch (Next(8)) {
        case 0: ConsoleWriteCells(X, Y, std::string(1 + Next(80), ' '), Attr()); break;
        case 1: ConsoleWriteCells(X, Y, std::string(1 + Next(6), static_cast<char>('A' + Next(26))), Attr()); break;
        case 2:
          TextAttr = Attr();
          GotoXY(X, Y);
          ClrEol();
          break;
        case 3:
          if (Next(4) == 0) {
            TextAttr = Attr();
            ClrScr();
          }
          break;
        case 4: Window(1, 1, 80, static_cast<uint8_t>(Next(2) ? 24 : 25)); break;
        case 5:
          TextAttr = Attr();
          ConsoleWrite(std::string(Next(30), static_cast<char>('a' + Next(26))) + (Next(3) ? "" : "\r\n"));
          break;
        case 6:
          GotoXY(X, Y);
          Next(2) ? InsLine() : DelLine();
          break;
        default: Next(2) ? CursorOn() : CursorOff(); break;
      }
      if (Next(3) == 0) {
        const std::string Sent = Show(Vt);
        if (!C.Erase) {
          // Every cell is sent: the only erase is the first screen's, in default colours.
          EXPECT_EQ(Sent.find("\x1b[K"), std::string::npos);
          const size_t Clear = Sent.find("\x1b[2J");
          if (Clear != std::string::npos) {
            EXPECT_EQ(Sent.rfind("\x1b[0m", Clear), Clear - 12);
          }
        }
        ExpectSameScreen(Vt, C.Utf8, Cols, Rows);
        ExpectOwnColours(Vt, Cols, Rows);
        if (HasFailure()) return;
      }
    }
  }
}

}  // namespace
