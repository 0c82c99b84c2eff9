// Door output: where the bytes go, pipe and backtick codes, the wrappers, file and sixel display.
#include "test_door_fixture.h"

using namespace doortest;

namespace {

class DoorOutputTest : public DoorTest {};

TEST_F(DoorOutputTest, LinkModeSendsToTheCallerAndPaintsLocally) {
  StartLink();
  DoorWrite("|1FHello");
  EXPECT_EQ(Caller(), "\x1B[1;37m\x1B[44mHello");
  EXPECT_EQ(RowTrimmed(1), "Hello");
  EXPECT_EQ(ConsoleCell(1, 1).Attr, 0x1F);

  // 0xFF is a telnet command byte on the wire, a glyph on the screen.
  DoorWriteLn("\xFF");
  EXPECT_EQ(Caller(), "\xFF\xFF\r\n");
  EXPECT_EQ(ConsoleCell(6, 1).Ch, 0xFF);

  // Both screens end up the same.
  TCallerScreen caller;
  DoorClrScr();
  DoorGotoXY(10, 5);
  DoorWrite("|0EFive");
  DoorCursorDown(2);
  DoorCursorLeft(4);
  DoorWrite("Seven");
  DoorCursorUp(1);
  DoorCursorRight(3);
  DoorWrite("Six!");
  DoorGotoXY(1, 1);
  DoorWrite("Top");
  DoorGotoXY(22, 6);
  DoorGotoX(40);
  DoorWrite("x40");
  DoorGotoY(9);
  DoorWrite("y9");
  DoorGotoXY(1, 10);
  DoorWriteCentered("|0FMiddle");
  caller.Feed(Caller());
  const std::vector<std::pair<int, std::string>> kRows = {
      {1, "Top"},
      {5, "         Five"},
      {6, "                 Six!                  x40"},
      {7, "         Seven"},
      {9, "                                          y9"},
      {10, "                                     Middle"},
  };
  for (const auto &[y, text] : kRows) {
    EXPECT_EQ(RowTrimmed(y), text) << "local row " << y;
    EXPECT_EQ(caller.RowText(y), text) << "caller row " << y;
  }
  EXPECT_EQ(ConsoleCell(38, 10).Attr, 0x0F);

  // Save and restore (what ANSI BBS terminals know as ESC [s and ESC [u).
  DoorGotoXY(5, 12);
  DoorCursorSave();
  DoorGotoXY(1, 1);
  DoorCursorRestore();
  DoorWrite("back");
  EXPECT_EQ(Caller(), "\x1B[12;5f\x1B[s\x1B[1;1f\x1B[uback");
  EXPECT_EQ(RowTrimmed(12), "    back");
}

// The caller's stream on the standard handles, here a pipe in place of this program's own.
TEST_F(DoorOutputTest, StdioModeNeverTouchesTheLink) {
  ASSERT_TRUE(NetSocketPair(Net));
  TTempDir dir;
  // A board that writes type 0 with a live socket: the socket stays untouched.
  const std::string lines = "0\r\n" + std::to_string(Net.Door) + "\r\n0\r\nB\r\n1\r\nA\r\nA\r\n1\r\n10\r\n1\r\n2";
  std::string drop = dir.Write("DOOR32.SYS", lines + "\r\n");
  int Out[2];
  ASSERT_EQ(pipe(Out), 0);
  const int SavedOut = dup(STDOUT_FILENO);
  dup2(Out[1], STDOUT_FILENO);
  Startup({"-D" + drop});
  ASSERT_TRUE(DoorStdio());
  DoorWriteLn("|0AHi\xFF");
  DoorTextColourAndBlink(4, true);
  DoorDisplaySixel(drop);  // painted locally in stdio mode
  DoorClose(false);
  dup2(SavedOut, STDOUT_FILENO);
  close(SavedOut);
  close(Out[1]);
  EXPECT_EQ(TakeCaller(Net.Peer), "");
  std::string stream;
  char buf[4096];
  for (ssize_t n; (n = read(Out[0], buf, sizeof buf)) > 0;) stream.append(buf, static_cast<size_t>(n));
  close(Out[0]);
  EXPECT_EQ(Escaped(stream), Escaped("\x1B[1;32m\x1B[40mHi\xFF\r\n\x1B[0;31m\x1B[40m\x1B[5m" + lines))
      << "the caller's bytes, no telnet";
  EXPECT_EQ(RowTrimmed(1), "Hi\xFF");
  EXPECT_EQ(ConsoleCell(1, 1).Attr, 0x0A);
  EXPECT_EQ(RowTrimmed(2), "0");
  EXPECT_EQ(TextAttr, 0x84);
}

TEST_F(DoorOutputTest, PipeAndBacktickCodes) {
  StartLink();
  const std::string colour1 = "\x1B[0;34m\x1B[40m\x1B[0m\x1B[40m\x1B[0;34m\x1B[40m";  // from 0x07
  struct {
    const char *Name;
    bool Tolvar;
    std::string Text;
    std::string Wire;
    uint64_t Slept;
  } kCases[] = {
      {"backtick passes with codes off", false, "a`1b", "a`1b", 0},
      {"short text is not pipe-converted", false, "|0", "|0", 0},
      {"pipe code converted", false, "|1F", "\x1B[1;37m\x1B[44m", 0},
      {"lone backtick is sent", true, "`", "`", 0},
      {"trailing backtick is dropped", true, "ab`", "ab", 0},
      {"double backtick does nothing", true, "a``b", "ab", 0},
      {"text, colour, text in order", true, "A`1B", "A" + colour1 + "B", 0},
      {"space, line end, backspace", true, "`x`\\`d", " \r\n\b", 0},
      {"background code", true, "`r1z", "\x1B[44mz", 0},
      {"background out of range eats three", true, "`r9z", "z", 0},
      {"background code at the end", true, "z`r", "z", 0},
      {"unknown code", true, "`Qz", "z", 0},
      {"bright colour", true, "`%", "\x1B[1;37m\x1B[0m\x1B[40m\x1B[1;37m", 0},
      {"blinking red", true, "`b", "\x1B[0;31m\x1B[40m\x1B[5m", 0},
      {"clear screen", true, "`c", "\x1B[0;37m\x1B[40m\x1B[40m\x1B[2J\x1B[1;1f\r\n\r\n", 0},
      {"pauses", true, "`l`w", "", 600},
      {"pipe code beside a backtick code", true, "|1F`x", "\x1B[1;37m\x1B[44m ", 0},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorSession.TolvarWrite = c.Tolvar;
    DoorTextAttr(7);
    Caller();
    TakeSlept();
    DoorWrite(c.Text);
    EXPECT_EQ(Escaped(Caller()), Escaped(c.Wire));
    EXPECT_EQ(TakeSlept(), c.Slept);
  }
  DoorSession.PipeWrite = false;
  DoorSession.TolvarWrite = false;
  DoorWrite("|1F");
  EXPECT_EQ(Caller(), "|1F");
}

TEST_F(DoorOutputTest, MorePromptWaitsForAKeyAndErasesItself) {
  StartLink();
  DoorSession.TolvarWrite = true;
  Send("q");  // the caller's key, already on its way
  DoorWrite("x`ky");
  EXPECT_EQ(DoorLastKey.Ch, 'q');
  const std::string wire = Caller();
  EXPECT_EQ(wire.substr(0, 1), "x");
  TCallerScreen caller;
  caller.Feed(wire);
  EXPECT_EQ(caller.RowText(1), "xy");
  EXPECT_EQ(RowTrimmed(1), "xy");
  EXPECT_EQ(ConsoleCell(2, 1).Attr, 0x02) << "the colour stays green";
  EXPECT_NE(wire.find("<"), std::string::npos);
  EXPECT_NE(wire.find("MORE"), std::string::npos);
  EXPECT_NE(wire.find("\b\b\b\b\b\b\b\b        \b\b\b\b\b\b\b\b"), std::string::npos);
}

TEST_F(DoorOutputTest, Spinner) {
  StartLink();
  DoorSession.TolvarWrite = true;
  DoorWrite("a`|b");
  EXPECT_EQ(Escaped(Caller()), Escaped("a|\b\\\b-\b/\b|\b\\\b-\b/\b|\b \bb"));
  EXPECT_EQ(TakeSlept(), 900u);
  EXPECT_EQ(RowTrimmed(1), "ab");
}

TEST_F(DoorOutputTest, DisplayFile) {
  StartLink();
  TTempDir dir;
  struct {
    const char *Name;
    std::string Contents;
    std::string Wire;
  } kCases[] = {
      {"CR LF lines, no line end after the last", "a\r\nb\r\n", "a\r\nb"},
      {"LF lines", "a\nb", "a\r\nb"},
      {"empty line kept", "a\n\nb\n", "a\r\n\r\nb"},
      {"empty file", "", ""},
      {"codes do not carry across lines", "|0\n7x", "|0\r\n7x"},
      {"codes in a line", "|0Ex", "\x1B[1;33m\x1B[40mx"},
      // As the drop files are read: a lone CR ends a line too, and 0x1A ends the file, so
      // an ANSI picture's SAUCE record after it never reaches the caller.
      {"lone CR lines", "a\rb\r\rc", "a\r\nb\r\n\r\nc"},
      {"CR LF split by the read-ahead", std::string(8191, 'x') + "\r\ny", std::string(8191, 'x') + "\r\ny"},
      {"0x1A ends the file", "art\r\n\x1ASAUCE00 title", "art"},
      {"0x1A mid-line", "ab\x1A\r\ncd", "ab"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorDisplayFile(dir.Write("show.ans", c.Contents));
    EXPECT_EQ(Escaped(Caller()), Escaped(c.Wire));
  }
}

TEST_F(DoorOutputTest, DisplayFileThatCannotBeRead) {
  StartLink();
  TTempDir dir;
  struct {
    std::string Name;
    std::string Error;
  } kCases[] = {
      {dir.File("missing.ans"), "No such file or directory"},
      {dir.Path, "Is a directory"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.Name);
    Send("k");
    DoorLastKey.Ch = 0;
    DoorDisplayFile(c.Name);
    EXPECT_EQ(Caller(), "Error reading \"" + c.Name + "\": " + c.Error + "\r\nHit a key to continue\r\n");
    EXPECT_EQ(DoorLastKey.Ch, 'k') << "waited for a key";
  }
}

TEST_F(DoorOutputTest, SixelGoesToTheCallerOnly) {
  StartLink();
  TTempDir dir;
  const std::string picture = "\x1BPq\"1;1;4;2#0;2;0;0;0|`1#0~~\n-`x|1F\n\x1B\\";
  DoorSession.TolvarWrite = true;
  DoorGotoXY(3, 4);
  Caller();
  const std::string before = Row(4);
  DoorDisplaySixel(dir.Write("vortex.sixel", picture));
  EXPECT_EQ(Escaped(Caller()), Escaped("\x1BPq\"1;1;4;2#0;2;0;0;0|`1#0~~\r\n-`x|1F\r\n\x1B\\"));
  EXPECT_EQ(Row(4), before) << "nothing painted locally";
  EXPECT_EQ(ConsoleCursorX(), 3);
  EXPECT_EQ(ConsoleCursorY(), 4);
  // Codes work again afterwards.
  DoorWrite("`x|1F");
  EXPECT_EQ(Caller(), " \x1B[1;37m\x1B[44m");
}

}  // namespace
