// Key input from the caller and the sysop, the line editor, the lightbar menu.
#include <atomic>
#include <thread>

#include "test_door_fixture.h"

using namespace doortest;

namespace {

struct TKey {
  char Ch;
  bool Extended;
  TDoorLastKeyType Location;
  bool operator==(const TKey &) const = default;
};
std::ostream &operator<<(std::ostream &AOut, const TKey &AKey) {
  return AOut << "{" << Escaped(std::string(1, AKey.Ch)) << (AKey.Extended ? " ext" : "")
              << (AKey.Location == lkUser ? " user" : AKey.Location == lkSysop ? " sysop" : " none") << "}";
}
TKey ReadOne() {
  char ch = DoorReadKey();
  EXPECT_EQ(ch, DoorLastKey.Ch);
  return {ch, DoorLastKey.Extended, DoorLastKey.Location};
}

class DoorInputTest : public DoorTest {};

TEST_F(DoorInputTest, CallerKeySequences) {
  StartLink();
  const TKey up{'H', true, lkUser};
  struct {
    const char *Name;
    std::string Now;
    std::string Later;  // sent 200 ms into the wait
    std::vector<TKey> Keys;
    uint64_t Slept;
  } kCases[] = {
      {"plain key", "a", "", {{'a', false, lkUser}}, 0},
      {"cursor keys", "\x1B[A\x1B[B\x1B[C\x1B[D", "",
       {up, {'P', true, lkUser}, {'M', true, lkUser}, {'K', true, lkUser}}, 0},
      {"ESC alone comes after half a second", "\x1B", "", {{'\x1B', false, lkUser}}, 500},
      {"application cursor keys", "\x1BOA\x1BOD", "", {up, {'K', true, lkUser}}, 0},
      {"F1 to F4 of xterm-like terminals", "\x1BOP\x1BOS", "", {{0x3B, true, lkUser}, {0x3E, true, lkUser}}, 0},
      {"Home, Insert, Delete, End, PgUp, PgDn", "\x1B[1~\x1B[2~\x1B[3~\x1B[4~\x1B[5~\x1B[6~", "",
       {{0x47, true, lkUser}, {0x52, true, lkUser}, {0x53, true, lkUser}, {0x4F, true, lkUser},
        {0x49, true, lkUser}, {0x51, true, lkUser}}, 0},
      {"Home and End as letters", "\x1B[H\x1BOF", "", {{0x47, true, lkUser}, {0x4F, true, lkUser}}, 0},
      {"F5 to F12", "\x1B[15~\x1B[17~\x1B[21~\x1B[23~\x1B[24~", "",
       {{0x3F, true, lkUser}, {0x40, true, lkUser}, {0x44, true, lkUser}, {'\x85', true, lkUser},
        {'\x86', true, lkUser}}, 0},
      {"the Linux console's F1", "\x1B[[A", "", {{0x3B, true, lkUser}}, 0},
      {"a key with a modifier is the key", "\x1B[1;5A\x1B[3;2~", "", {up, {0x53, true, lkUser}}, 0},
      {"unknown whole sequences dropped", "\x1B[Z\x1B[5A\x1B[99~\x1BOx\x1B[?1;2c" "a", "",
       {{'a', false, lkUser}}, 0},
      {"an overlong sequence dropped whole", "\x1B[" + std::string(40, '1') + "Ab", "", {{'b', false, lkUser}}, 0},
      {"ESC then a letter: ESC at once, the letter after", "\x1Bq", "",
       {{'\x1B', false, lkUser}, {'q', false, lkUser}}, 0},
      {"ESC ESC [ A", "\x1B\x1B[A", "", {{'\x1B', false, lkUser}, up}, 0},
      {"a sequence broken off by Enter", "\x1B[1", "\r", {{'\r', false, lkUser}}, 200},
      {"a slow sequence still counts", "\x1B", "[A", {up}, 200},
      {"a slow sequence after the bracket", "\x1B[", "A", {up}, 200},
      {"line end folded to one Enter", "\r\n", "", {{'\r', false, lkUser}}, 0},
      {"DEL is a plain key", "\x7F", "", {{'\x7F', false, lkUser}}, 0},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.Name);
    Send(c.Now);
    if (!c.Later.empty()) gLater.push_back({gMs + 200, c.Later});
    TakeSlept();
    std::vector<TKey> keys;
    for (size_t i = 0; i < c.Keys.size(); i++) keys.push_back(ReadOne());
    EXPECT_EQ(keys, c.Keys);
    EXPECT_EQ(TakeSlept(), c.Slept);
    EXPECT_FALSE(DoorKeyPressed()) << "nothing left over";
  }
}

// DoorKeyPressed says yes only for a whole key, so a frame loop that tests it never stops
// in DoorReadKey for the rest of a sequence.
TEST_F(DoorInputTest, KeyPressedOnlyForAWholeKey) {
  StartLink();
  Send("\x1B[Z");
  EXPECT_FALSE(DoorKeyPressed()) << "Shift-Tab is no key here, and it is gone";
  Send("\x1B[");
  EXPECT_FALSE(DoorKeyPressed());
  SetMs(gMs + 499);
  EXPECT_FALSE(DoorKeyPressed());
  SetMs(gMs + 1);
  EXPECT_FALSE(DoorKeyPressed()) << "the sequence cut short is dropped";
  Send("\x1B");
  EXPECT_FALSE(DoorKeyPressed());
  SetMs(gMs + 500);
  EXPECT_TRUE(DoorKeyPressed()) << "ESC alone, once its wait is over";
  TakeSlept();
  EXPECT_EQ(ReadOne(), (TKey{'\x1B', false, lkUser}));
  EXPECT_EQ(TakeSlept(), 0u);
  Send("\x1BOP");
  EXPECT_TRUE(DoorKeyPressed());
  EXPECT_EQ(ReadOne(), (TKey{0x3B, true, lkUser}));
  EXPECT_EQ(TakeSlept(), 0u);
}

TEST_F(DoorInputTest, SysopKeysAndCallerFirst) {
  StartLink();
  ConsolePushInput("s");
  Send("c");
  EXPECT_EQ(ReadOne(), (TKey{'c', false, lkUser})) << "the caller goes first";
  EXPECT_EQ(ReadOne(), (TKey{'s', false, lkSysop}));

  ConsolePushInput("\x1BOP");  // F1 on the sysop's keyboard
  EXPECT_EQ(ReadOne(), (TKey{0x3B, true, lkSysop}));

  // A hot-key hook that takes F1: the key is swallowed and the wait goes on.
  static std::vector<char> hot;
  hot.clear();
  DoorOnSysopKey = [](char AKey) {
    hot.push_back(AKey);
    return AKey == 0x3B;
  };
  ConsolePushInput("\x1BOP\x1B[A");
  EXPECT_EQ(ReadOne(), (TKey{'H', true, lkSysop}));
  EXPECT_EQ(hot, (std::vector<char>{0x3B, 'H'}));
  EXPECT_LT(DoorSecondsIdle(), 1);
}

TEST_F(DoorInputTest, StdioKeysAreTheCallers) {
  StartStdio();
  ConsolePushInput("x\x1B[A");
  EXPECT_EQ(ReadOne(), (TKey{'x', false, lkUser}));
  EXPECT_EQ(ReadOne(), (TKey{'H', true, lkUser}));
  ConsolePushInput("\x1B");
  EXPECT_EQ(ReadOne(), (TKey{'\x1B', false, lkUser}));
}

// The named keys compare right with DoorLastKey.Ch, the two above 0x7F included, for every
// key a sysop's terminal sends and for the caller's arrows.
TEST_F(DoorInputTest, NamedKeysMatchTheKeysRead) {
  StartLink();
  const struct {
    const char *Bytes;
    char Key;
  } kSysop[] = {
      {"\x1bOP", DOOR_KEY_F1},     {"\x1bOQ", DOOR_KEY_F2},      {"\x1bOR", DOOR_KEY_F3},
      {"\x1bOS", DOOR_KEY_F4},     {"\x1b[15~", DOOR_KEY_F5},    {"\x1b[17~", DOOR_KEY_F6},
      {"\x1b[18~", DOOR_KEY_F7},   {"\x1b[19~", DOOR_KEY_F8},    {"\x1b[20~", DOOR_KEY_F9},
      {"\x1b[21~", DOOR_KEY_F10},  {"\x1b[23~", DOOR_KEY_F11},   {"\x1b[24~", DOOR_KEY_F12},
      {"\x1b[H", DOOR_KEY_HOME},   {"\x1b[F", DOOR_KEY_END},     {"\x1b[5~", DOOR_KEY_PGUP},
      {"\x1b[6~", DOOR_KEY_PGDN},  {"\x1b[2~", DOOR_KEY_INSERT}, {"\x1b[3~", DOOR_KEY_DELETE},
      {"\x1b[A", DOOR_KEY_UP},     {"\x1b[B", DOOR_KEY_DOWN},    {"\x1b[D", DOOR_KEY_LEFT},
      {"\x1b[C", DOOR_KEY_RIGHT},
  };
  for (const auto &c : kSysop) {
    SCOPED_TRACE(Escaped(c.Bytes));
    ConsolePushInput(c.Bytes);
    EXPECT_EQ(ReadOne(), (TKey{c.Key, true, lkSysop}));
  }
  Send("\x1b[A\x1b[D");
  EXPECT_EQ(ReadOne(), (TKey{DOOR_KEY_UP, true, lkUser}));
  EXPECT_EQ(ReadOne(), (TKey{DOOR_KEY_LEFT, true, lkUser}));
}

TEST_F(DoorInputTest, ReadKeyRestartsTheIdleCount) {
  StartLink();
  AdvanceSeconds(100);
  EXPECT_EQ(DoorSecondsIdle(), 100);
  Send("k");
  ReadOne();
  EXPECT_EQ(DoorSecondsIdle(), 0);
  EXPECT_EQ(DoorLastKey.Time, FakeNow());
}

// A caller who keeps sending unknown sequences gets no key, but the pump still runs and
// the idle limit still ends the wait.
struct TTimedOut {};
TEST_F(DoorInputTest, EndlessEscapeSequencesStillTimeOut) {
  StartLink();
  DoorOnTimeOut = [] { throw TTimedOut{}; };
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    std::string burst;
    for (int i = 0; i < 300; i++) burst += "\x1B[Z";
    while (!stop) {
      // Never blocks, so the sender stops as soon as it is told.
      if (send(Net.Peer, burst.data(), burst.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  // Each pass of the wait moves the clock on a little.
  DoorSetClock([] {
    gMs += 5;
    return FakeNow();
  });
  bool timedOut = false;
  char key = 0;
  try {
    key = DoorReadKey();
  } catch (const TTimedOut &) {
    timedOut = true;
  }
  stop = true;
  flood.join();
  EXPECT_TRUE(timedOut) << "got a key: " << Escaped(std::string(1, key));
  EXPECT_GE(DoorSecondsIdle(), 301);
}

class DoorLineInputTest : public DoorTest {
 protected:
  TCallerScreen Screen;
  void SetUp() override {
    DoorTest::SetUp();
    StartLink();
    DoorWrite("Name: ");
    Caller();
    Screen.Feed("Name: ");
  }
  // Types the keys as the caller and reads the line; both screens are checked after.
  std::string Input(const std::string &AKeys, const std::string &ADefault, char APassword, uint8_t AVisible,
                    uint8_t AMax, const std::string &AAllowed = DOOR_INPUT_CHARS_ALL) {
    Send(AKeys);
    std::string got = DoorInput(ADefault, AAllowed, APassword, AVisible, AMax, 0x1F);
    Screen.Feed(Caller());
    return got;
  }
  void ExpectRow(int AY, const std::string &AText) {
    EXPECT_EQ(RowTrimmed(AY), AText) << "local";
    EXPECT_EQ(Screen.RowText(AY), AText) << "caller";
  }
};

TEST_F(DoorLineInputTest, TypingAndEditing) {
  EXPECT_EQ(Input("ab\bcd\r", "", 0, 10, 20), "acd");
  ExpectRow(1, "Name: acd");
  for (int x = 7; x <= 16; x++) EXPECT_EQ(ConsoleCell(x, 1).Attr, 0x1F) << "field cell " << x;
  EXPECT_EQ(ConsoleCell(17, 1).Attr, 0x07);
  EXPECT_EQ(TextAttr, 0x07) << "the colour before the field is back";
  EXPECT_EQ(ConsoleCursorY(), 2) << "a line end follows";
}

TEST_F(DoorLineInputTest, DefaultTextAndEscape) {
  EXPECT_EQ(Input("\x1B", "SYSOP", 0, 40, 40), "SYSOP");
  EXPECT_EQ(Input("xy\b\b\bZ\x1B", "SYSOP", 0, 40, 40), "SYSOP") << "ESC gives the default even after editing";
  EXPECT_EQ(Input("\x1B", "ABCDEFGHIJ", 0, 40, 4), "ABCD") << "the default is cut first";
  EXPECT_EQ(Input("\x19\r", "SYSOP", 0, 40, 40), "") << "Ctrl-Y empties the field";
  EXPECT_EQ(Input("\r", "SYSOP", 0, 40, 40), "SYSOP");
}

TEST_F(DoorLineInputTest, ScrollsPastTheVisibleWidth) {
  // The field shows the end of a text longer than itself; backspacing under the width
  // stops the scrolling.
  EXPECT_EQ(Input("abcdefg\r", "", 0, 5, 10), "abcdefg");
  ExpectRow(1, "Name: cdefg");
  EXPECT_EQ(Input("abcdefg\b\b\r", "", 0, 5, 10), "abcde");
  ExpectRow(2, "abcde");
  EXPECT_EQ(Input("abcdefg\b\b\b\r", "", 0, 5, 10), "abcd");
  ExpectRow(3, "abcd");
  EXPECT_EQ(ConsoleCell(5, 3).Attr, 0x1F) << "the emptied cell is still the field's";
}

// What the caller types is text, never codes: a pipe code or a backtick code in the field
// shows as typed, in the field's colour, through every redraw, with codes switched on.
TEST_F(DoorLineInputTest, TypedCodesAreShownAsTyped) {
  DoorSession.TolvarWrite = true;
  EXPECT_EQ(Input("|1F|0Eabcx\b\r", "", 0, 6, 20), "|1F|0Eabc");
  ExpectRow(1, "Name: |0Eabc");
  for (int x = 7; x <= 12; x++) EXPECT_EQ(ConsoleCell(x, 1).Attr, 0x1F) << x;
  // A backtick code would clear both screens (`c) or wait for a key (`k).
  EXPECT_EQ(Input("`k`c`\\xy\x19`c`d\r", "", 0, 4, 20), "`c`d");
  ExpectRow(1, "Name: |0Eabc");
  ExpectRow(2, "`c`d");
  EXPECT_EQ(Screen.Cursor().row, 2);
}

TEST_F(DoorLineInputTest, MaskingAndLimits) {
  EXPECT_EQ(Input("secret\r", "", '*', 10, 20), "secret");
  ExpectRow(1, "Name: ******");
  // At the maximum length further keys do nothing; keys outside the set are ignored.
  EXPECT_EQ(Input("12a34567\r", "", 0, 10, 5, DOOR_INPUT_CHARS_NUMERIC), "12345");
  EXPECT_EQ(RowTrimmed(2), "12345");
  // Backspace on an empty field changes nothing; the caller's DEL erases as Backspace does
  // (many terminals send it for that key), unless DEL is one of the allowed characters.
  EXPECT_EQ(Input("\b\x7Fok\x7Fx\r", "", 0, 10, 20, DOOR_INPUT_CHARS_ALPHA), "ox");
  EXPECT_EQ(RowTrimmed(3), "ox");
  EXPECT_EQ(Input("a\x7F\r", "", 0, 10, 20, std::string("a\x7F")), "a\x7F");
  // A cursor key arrives as its letter.
  EXPECT_EQ(Input("\x1B[A\r", "", 0, 10, 20, DOOR_INPUT_CHARS_ALPHA), "H");
}

TEST_F(DoorLineInputTest, FloodOfKeysStaysWithinTheField) {
  std::string flood(100000, 'a');
  std::thread sender([&] { NetSend(Net.Peer, flood + "\r"); });
  std::string got = DoorInput("", DOOR_INPUT_CHARS_ALL, 0, 20, 10, 0x1F);
  sender.join();
  EXPECT_EQ(got, std::string(10, 'a'));
  EXPECT_EQ(RowTrimmed(1), "Name: aaaaaaaaaa");
}

class DoorLiteBarTest : public DoorTest {
 protected:
  void SetUp() override {
    DoorTest::SetUp();
    StartLink();
    DoorLiteBarOptions = {"Play", "Scores", "Help", "Quit"};
    DoorGotoXY(5, 3);
    Caller();
  }
  // Rows 3 on, as "text" with the bar's row marked by a star.
  std::vector<std::string> Menu(int ARows) {
    std::vector<std::string> rows;
    for (int y = 3; y < 3 + ARows; y++) {
      std::string r = Row(y).substr(4);
      r.erase(r.find_last_not_of(' ') + 1);
      rows.push_back(r + (ConsoleCell(5, y).Attr == 0x70 ? "*" : ""));
    }
    return rows;
  }
};

TEST_F(DoorLiteBarTest, UpDownEnterAndEscape) {
  DoorLiteBarIndex = 1;
  Send("\x1B[B\x1B[B\x1B[B\x1B[A\r");  // down past the end stays on the last
  EXPECT_TRUE(DoorLiteBar(0));
  EXPECT_EQ(DoorLiteBarIndex, 2);
  EXPECT_EQ(Menu(4), (std::vector<std::string>{"Play", "Scores", "Help*", "Quit"}));
  EXPECT_EQ(ConsoleCell(10, 5).Attr, 0x70) << "the bar is as wide as the widest option";
  EXPECT_EQ(TextAttr, 0x07);
  EXPECT_EQ(ConsoleCursorY(), 7) << "below the menu";
  EXPECT_EQ(ConsoleCursorX(), 1);

  DoorGotoXY(5, 3);
  Send("\x1B[A\x1B[A\x1B[A\x1B");
  EXPECT_FALSE(DoorLiteBar(0));
  EXPECT_EQ(DoorLiteBarIndex, 2) << "ESC keeps the old choice";

  // The sysop may steer too; a plain H or P typed by the caller does not move the bar.
  DoorGotoXY(5, 3);
  Send("HP");
  ConsolePushInput("\x1B[B");
  gLater.push_back({gMs + 1, "\r"});  // once those keys are taken
  EXPECT_TRUE(DoorLiteBar(0));
  EXPECT_EQ(DoorLiteBarIndex, 3);
}

TEST_F(DoorLiteBarTest, PagesScroll) {
  DoorLiteBarIndex = 0;
  Send("\x1B[B\x1B[B\x1B[B\r");
  EXPECT_TRUE(DoorLiteBar(2));
  EXPECT_EQ(DoorLiteBarIndex, 3);
  EXPECT_EQ(Menu(3), (std::vector<std::string>{"Help", "Quit*", ""}));

  DoorLiteBarOptions.clear();
  EXPECT_FALSE(DoorLiteBar(5)) << "an empty menu";
}

}  // namespace
