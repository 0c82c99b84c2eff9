// The caller's side of the link beyond plain CP437: a UTF-8 caller both ways, the start-up
// probe that tells UTF-8 from CP437, the caller's window size, and the keys of today's
// terminals, on a socketpair as the caller's connection and libvterm as their screen.
#include <fstream>

#include "test_door_fixture.h"
#include "vtscreen.h"

using namespace doortest;

namespace {

const std::string kAnnounce("\xFF\xFB\x00\xFF\xFB\x01", 6);
const std::string kClear = "\x1B[2J\x1B[1;1f";

// Bytes the caller sends now, and 200 ms into the door's wait; the keys they give.
struct TKeyCase {
  const char *Name;
  std::string Now;
  std::string Later;
  std::string Keys;
};

class CallerLinkTest : public DoorTest {
 protected:
  template <size_t N>
  void RunKeyCases(const TKeyCase (&ACases)[N]) {
    for (const TKeyCase &c : ACases) {
      SCOPED_TRACE(c.Name);
      Send(c.Now);
      if (!c.Later.empty()) gLater.push_back({gMs + 200, c.Later});
      std::string keys;
      for (size_t i = 0; i < c.Keys.size(); i++) keys += DoorReadKey();
      EXPECT_EQ(Escaped(keys), Escaped(c.Keys));
      EXPECT_FALSE(DoorKeyPressed()) << "nothing left over";
    }
  }

  // A link session started with AArgs after -N1 -S<fd>; the caller's answers, if any, come
  // AAfterMs into the door's first wait.
  void StartWith(std::vector<std::string> AArgs, std::string AAnswer = "", uint64_t AAfterMs = 5) {
    ASSERT_TRUE(NetSocketPair(Net));
    gLaterFd = Net.Peer;
    if (!AAnswer.empty()) gLater.push_back({AAfterMs, AAnswer});
    std::vector<std::string> args{"-N1", "-S{fd}"};
    args.insert(args.end(), AArgs.begin(), AArgs.end());
    Startup(args, Net.Door);
    Linked = true;
  }
};

TEST_F(CallerLinkTest, Utf8CallerGetsGlyphsAsUnicodeAndSequencesAsTheyAre) {
  StartLink({"-U"});
  EXPECT_TRUE(DoorUtf8());
  TTempDir dir;
  // A picture whose data holds a byte above 0x7F: it goes as it is (doubled for telnet).
  const std::string picture = dir.Write("p.sixel", "\x1BPq#1~\xFF\x82-\x1B\\");
  struct {
    const char *Name;
    std::string Text;
    std::string Wire;
  } kCases[] = {
      {"boxes, blocks, letters", "\xC9\xCD\xBB \xDB\xB0 \x82\x94 \xFE", "\u2554\u2550\u2557 \u2588\u2591 \u00E9\u00F6 \u25A0"},
      {"control bytes keep their meaning", "a\r\n\b\a\x0E" "b", "a\r\n\b\a\x0E" "b"},
      {"colours around a glyph", "|1F\xC4|07", "\x1B[1;37m\x1B[44m\u2500\x1B[0;37m\x1B[40m\x1B[40m"},
      {"music passes untouched", "\x1B[NMB T160 O4 C16\x0E\xB3", "\x1B[NMB T160 O4 C16\x0E\u2502"},
      {"a byte that breaks a sequence off is a glyph", "\x1B[1\xC9", "\x1B[1\u2554"},
      {"byte 255 is a glyph, no telnet escape needed", "\xFF", "\u00A0"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.Name);
    DoorWrite(c.Text);
    EXPECT_EQ(Escaped(Caller()), Escaped(c.Wire));
  }
  // A sequence split between two writes is still followed.
  DoorWrite("\x1B[");
  DoorWrite("1;33m\xBA");
  EXPECT_EQ(Escaped(Caller()), Escaped("\x1B[1;33m\u2551"));
  DoorDisplaySixel(picture);
  EXPECT_EQ(Escaped(Caller()), Escaped(std::string("\x1BPq#1~\xFF\xFF\x82-\x1B\\", 12)));

  // On the caller's UTF-8 terminal the frame's pieces stand in their own cells.
  TVtScreen vt(80, 25, true);
  DoorClrScr();
  DoorGotoXY(1, 3);
  DoorWrite("\xC9" + std::string(78, '\xCD') + "\xBB");
  DoorGotoXY(2, 4);
  DoorWrite("\xB3 Gr\x81\xE1" "e \xB3");
  VtFeed(vt, Caller());
  EXPECT_EQ(VtChar(vt, 1, 3), 0x2554u);
  EXPECT_EQ(VtChar(vt, 40, 3), 0x2550u);
  EXPECT_EQ(VtChar(vt, 80, 3), 0x2557u);
  EXPECT_TRUE(VtRowText(vt, 4).starts_with(" \u2502 Gr\u00FC\u00DFe \u2502")) << VtRowText(vt, 4);
  EXPECT_EQ(VtCursorY(vt), 4) << "nothing wrapped";
}

TEST_F(CallerLinkTest, Utf8CallerTypesCp437) {
  StartLink({"-U"});
  const TKeyCase kCases[] = {
      {"e acute", "\xC3\xA9", "", "\x82"},
      {"a box piece", "\xE2\x95\x94", "", "\xC9"},
      {"split between two receives", "\xC3", "\xA9", "\x82"},
      {"no CP437 form: dropped whole", "\xE2\x82\xAC" "x", "", "x"},
      {"a broken character gives no key", "\xC3" "A\xA9" "B", "", "AB"},
      {"keys and line ends as ever", "\x1B[Aq\r\n", "", "Hq\r"},
  };
  RunKeyCases(kCases);
}

TEST_F(CallerLinkTest, Cp437CallerKeepsTheBytes) {
  StartLink();
  EXPECT_FALSE(DoorUtf8());
  DoorWrite("\xC9\xCD");
  EXPECT_EQ(Caller(), "\xC9\xCD");
  const TKeyCase kCases[] = {{"bytes as they come", "\xC3\xA9", "", "\xC3\xA9"}};
  RunKeyCases(kCases);
}

TEST_F(CallerLinkTest, ProbeTellsUtf8FromCp437) {
  const std::string kAsk = "\r\x1B[6n\xC3\xA9\x1B[6n";
  struct {
    const char *Name;
    std::vector<std::string> Args;
    std::string Answer;
    bool Utf8;
    bool Waited;  // the whole second
  } kCases[] = {
      {"one cell: UTF-8", {"-A"}, "\x1B[3;1R\x1B[3;2R", true, false},
      {"two cells: CP437", {"-A"}, "\x1B[3;1R\x1B[3;3R", false, false},
      {"an answer in pieces, keys between", {"-A"}, "\x1B[12;7Rx\x1B[12;8R", true, false},
      {"no answer: CP437", {"-A"}, "", false, true},
      {"no answer with -U: UTF-8", {"-A", "-U"}, "", true, true},
      {"a CP437 answer overrules -U", {"-U", "-A"}, "\x1B[3;1R\x1B[3;3R", false, false},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.Name);
    ResetModules();
    NetClose(Net.Peer);
    NetClose(Net.Door);
    StartWith(c.Args, c.Answer);
    EXPECT_EQ(DoorUtf8(), c.Utf8);
    EXPECT_EQ(Escaped(Caller()), Escaped(kAnnounce + kAsk + "\r  \r" + kClear));
    const uint64_t slept = TakeSlept();
    if (c.Waited) {
      EXPECT_GE(slept, 1000u);
      EXPECT_LE(slept, 1010u);
    } else {
      EXPECT_LT(slept, 50u);
    }
    DoorClose(false);
    Net.Door = -1;
    Linked = false;
  }
}

TEST_F(CallerLinkTest, WindowSizeFromTheCallersTelnetClient) {
  StartWith({"-W"});
  EXPECT_EQ(Escaped(Caller()), Escaped(kAnnounce + std::string("\xFF\xFD\x1F", 3) + kClear));
  EXPECT_EQ(DoorWindowColumns(), 0);
  EXPECT_EQ(DoorWindowRows(), 0);
  struct {
    std::string Report;
    int32_t Cols, Rows;
  } kCases[] = {
      {std::string("\xFF\xFB\x1F\xFF\xFA\x1F\x00\x84\x00\x32\xFF\xF0", 12), 132, 50},
      {std::string("\xFF\xFA\x1F\x00\xFF\xFF\x00\x18\xFF\xF0", 10), 255, 24},  // IAC IAC is 255
      {std::string("\xFF\xFA\x1F\x00\x50\x00\xFF\xF0", 8), 255, 24},  // too short: not taken
      {std::string("\xFF\xFA\x18\x00xterm\xFF\xF0", 11), 255, 24},  // another option's
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(Escaped(c.Report));
    Send(c.Report + "k");
    EXPECT_EQ(DoorReadKey(), 'k');
    EXPECT_EQ(DoorWindowColumns(), c.Cols);
    EXPECT_EQ(DoorWindowRows(), c.Rows);
  }
}

TEST_F(CallerLinkTest, NothingIsAskedWithoutTheSwitches) {
  StartLink();  // the first bytes stay the announcements and the clear screen
  Send(std::string("\xFF\xFA\x1F\x00\x50\x00\x19\xFF\xF0", 9) + "k");
  EXPECT_EQ(DoorReadKey(), 'k');
  EXPECT_EQ(DoorWindowColumns(), 80) << "a report the client sends unasked is still kept";
  EXPECT_EQ(DoorWindowRows(), 25);
}

}  // namespace
