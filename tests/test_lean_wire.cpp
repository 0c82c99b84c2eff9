// The lean wire: what the caller's terminal shows at every point where the link sends is
// what the full stream shows there, on an independent terminal emulator, for random door
// output and for the kit's own screens (line input, the lightbar, the MORE prompt, clear
// screens, the time-up, idle and hang-up ends); and the lean stream is the smaller.
#include <sys/wait.h>

#include <csignal>

#include <functional>
#include <string>
#include <vector>

#include "e2e/wire.h"
#include "test_door_fixture.h"
#include "vtshot.h"

using namespace doortest;

namespace {

// A caller's terminal fed from the wire.
struct TWireCaller {
  TVtScreen Vt{80, 25, false};
  TTelnetData Telnet;
  size_t Bytes = 0;
  void Feed(std::string_view AWire) {
    Bytes += AWire.size();
    VtFeed(Vt, Telnet.Take(AWire));
  }
};

std::string Visible(std::string_view ABytes) { return Escaped(ABytes.substr(0, 120)); }

// --- The link alone: random door output, the full stream straight into one terminal, the
// lean stream through the link into another, compared wherever the link sends.

class LeanLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CommReset();
    ASSERT_TRUE(NetSocketPair(Net));
    CommOpen(Net.Door);
    Tap.Start(Net.Peer);
    CommSetLean(true);
  }
  void TearDown() override {
    CommClose(false);
    Net.Door = -1;
    Tap.Finish();
    CommReset();
  }

  void Write(const std::string &AText) {
    VtFeed(Full.Vt, AText);  // straight to the terminal: no telnet on this side
    Sent += AText.size();
    Recent += AText;
    CommWrite(AText);
  }
  // The link sends; both screens must agree.
  void Flush(int AStep) {
    CommFlushOutBuffer();
    const std::string Got = Tap.Take();
    Lean.Feed(Got);
    const std::string Diff = VtShotDifference(VtShot(Full.Vt), VtShot(Lean.Vt));
    ASSERT_EQ(Diff, "") << "step " << AStep << " after " << Visible(Recent.substr(Recent.size() > 120 ? Recent.size() - 120 : 0)) << "\nsent " << Escaped(Got.substr(Got.size() > 200 ? Got.size() - 200 : 0));
    Recent.clear();
  }

  TNetPair Net;
  TWireTap Tap;
  TWireCaller Full, Lean;
  size_t Sent = 0;
  std::string Recent;
};

TEST_F(LeanLinkTest, RandomDoorOutputShowsTheSameWhereverTheLinkSends) {
  uint32_t Seed = 1409;
  auto Next = [&Seed](uint32_t AMod) {
    Seed = Seed * 1664525u + 1013904223u;
    return (Seed >> 8) % AMod;
  };
  auto Num = [&](uint32_t AMod) { return std::to_string(Next(AMod)); };
  const int SGR[] = {0, 1, 5, 22, 25, 7, 4, 39, 49, 90};
  Write("\x1b[2J\x1b[1;1f");
  std::string Pending;  // written in pieces that cut sequences anywhere
  for (int Step = 0; Step < 40000; ++Step) {
    std::string S;
    // Mostly what doors send most (text, moves on the screen, the builders' colours), so the
    // lean wire has work to do; now and then what it must pass on whole.
    const uint32_t K = Next(100);
    if (K < 30) {  // text: ASCII, and CP437 glyphs this emulator also takes as one glyph each
      for (uint32_t I = 0, N = Next(14); I < N; ++I) S += static_cast<char>(Next(8) ? 0x20 + Next(0x5F) : 0xA0 + Next(0x5F));
    } else if (K < 44) {
      S = "\x1b[" + std::to_string(Next(25) + 1) + ";" + std::to_string(Next(79) + 1) + (Next(2) ? "H" : "f");
    } else if (K < 50) {
      S = AnsiTextAttr(static_cast<uint8_t>(Next(256)));
    } else if (K < 56) {
      S = Next(2) ? AnsiTextColour(static_cast<uint8_t>(Next(16))) : AnsiTextBackground(static_cast<uint8_t>(Next(8)));
    } else if (K < 62) {
      S = "\x1b[" + Num(8) + "ABCD"[Next(4)];
    } else if (K < 68) {
      S = std::string(1, "\r\n\b"[Next(3)]);
    } else if (K < 72) {
      S = "\x1b[";
      for (uint32_t I = 0, N = Next(4); I <= N; ++I) {
        if (I) S += ';';
        const uint32_t P = Next(20);
        S += std::to_string(P < 10 ? SGR[P] : (P < 15 ? 30 : 40) + static_cast<int>(Next(8)));
      }
      S += 'm';
    } else {
      switch (K - 72) {
        case 0: S = "\x1b[" + Num(30) + ";" + Num(90) + "f"; break;  // beyond the screen too
        case 1: S = "\x1b[" + Num(90) + "ABCD"[Next(4)]; break;
        case 2: S = Next(3) ? "\r\n" : "\n"; break;
        case 3: S = std::string(Next(3) + 1, '\b'); break;
        case 4: S = Next(6) ? "\x1b[K" : "\x1b[" + Num(3) + "K"; break;
        case 5: S = Next(6) ? "\x1b[" + Num(3) + "J" : "\x1b[2J\x1b[1;1f"; break;
        case 6: S = Next(2) ? "\x1b[s" : "\x1b[u"; break;
        case 7: S = Next(2) ? "\x1b" "7" : "\x1b" "8"; break;
        case 8:
        case 9: S = "\x1b[s\x1b[1;1H\x1b[NMB T160 O" + Num(6) + " " + "CDEFGAB"[Next(7)] + "16\x0e\x1b[u"; break;
        case 10: S = "\x1bPq#0;2;0;0;0#0~~@@~~\r\n-\x1b\\"; break;
        case 11: S = Next(2) ? "\x1b[?25l" : "\x1b[?25h"; break;
        case 12: S = "\x1b[" + Num(3) + "LMSTP@X"[Next(7)]; break;
        case 13: S = Next(2) ? "\x07" : (Next(2) ? "\t" : "\x7f"); break;
        case 14:
        case 15: {  // to the last column, the bottom-right cell now and then
          const int Row = Next(8) ? static_cast<int>(Next(24)) + 1 : 25;
          S = "\x1b[" + std::to_string(Row) + ";" + std::to_string(78 + Next(3)) + "H" + "xyz" + (Next(2) ? "\r\n" : "");
          break;
        }
        case 16:
        case 17:
        case 18: {  // the same banner drawn again where it stood, as doors redraw
          const char *At[] = {"1;1", "1;9", "12;30", "25;60"};
          S = std::string("\x1b[") + At[Next(4)] + "H\x1b[0;33m\x1b[44mVANTORAMA 2025";
          break;
        }
        default: S = AnsiGotoXY(static_cast<uint8_t>(Next(80) + 1), static_cast<uint8_t>(Next(25) + 1)) + AnsiTextColour(static_cast<uint8_t>(Next(8))); break;
      }
    }
    Pending += S;
    if (Next(3) == 0) {
      const size_t Cut = Next(static_cast<uint32_t>(Pending.size()) + 1);
      Write(Pending.substr(0, Cut));
      Pending.erase(0, Cut);
    }
    if (Next(6) == 0) {
      Flush(Step);
      if (HasFatalFailure()) return;
    }
  }
  Write(Pending);
  Flush(-1);
  // Where the colours and the cursor keep being restated, the difference is far smaller.
  EXPECT_LT(Lean.Bytes, Sent);
}

TEST_F(LeanLinkTest, SendsOnlyTheDifferenceAndLeavesTheCursorWhereTheFullStreamDoes) {
  Write("\x1b[2J\x1b[1;1f\x1b[0;37m\x1b[40m\x1b[5;10fHello, world");
  Flush(0);
  Lean.Bytes = 0;
  // The same text again, and one letter changed: the letter, and the cursor back where
  // the full stream leaves it.
  Write("\x1b[5;10fHello, world");
  Flush(1);
  EXPECT_EQ(Lean.Bytes, 0u);
  Write("\x1b[5;10fHello, World\x1b[0;31m\x1b[40m");
  CommFlushOutBuffer();
  const std::string Got = Tap.Take();
  Lean.Feed(Got);
  EXPECT_EQ(Visible(Got), Visible("\x1b[5DW\x1b[4C"));
  EXPECT_EQ(VtShotDifference(VtShot(Full.Vt), VtShot(Lean.Vt)), "");
  // Music goes out whole, in its place: after the difference, the cursor put where the full
  // stream has it first.
  Write("\x1b[1;1fX\x1b[s\x1b[1;1H\x1b[NMB T160 O4 C16\x0e\x1b[u");
  CommFlushOutBuffer();
  const std::string Note = Tap.Take();
  Lean.Feed(Note);
  EXPECT_EQ(Visible(Note), Visible("\x1b[H\x1b[31mX\x1b[s\x1b[1;1H\x1b[NMB T160 O4 C16\x0e\x1b[u"));
  EXPECT_EQ(VtShotDifference(VtShot(Full.Vt), VtShot(Lean.Vt)), "");
  // The cursor is the terminal's own after the note: the next move goes out as it is. A
  // glyph 0xFF goes out as telnet's IAC IAC.
  Write("\x1b[7;1fA\xFF");
  CommFlushOutBuffer();
  EXPECT_EQ(Visible(Tap.Take()), Visible("\x1b[7;1fA\xFF\xFF"));
}

// A character set changed by the door leaves the rest to the full stream.
TEST_F(LeanLinkTest, ACharacterSetHandsTheRestToTheFullStream) {
  Write("\x1b[2J\x1b[1;1f\x1b[0;37m\x1b[40m\x1b[3;3fabc");
  Flush(0);
  const std::string Rest = "\x1b(0lqqk\x1b(B\x1b[3;3fabc\x1b[4;4fq";
  Write(Rest);
  CommFlushOutBuffer();
  const std::string Got = Tap.Take();
  Lean.Feed(Got);
  EXPECT_EQ(Visible(Got), Visible(Rest));
  EXPECT_EQ(VtShotDifference(VtShot(Full.Vt), VtShot(Lean.Vt)), "");
}

// --- The kit's own screens, run twice as a door runs them, on the full stream and on the
// lean wire, with the same keys from the caller; compared wherever the link sent.

struct TKitCaller {
  TWireCaller Screen;
  int Peer = -1;
  std::vector<TVtShot> Shots;
};
TKitCaller *gKit = nullptr;

void OnFlushed() {
  gKit->Screen.Feed(TakeCaller(gKit->Peer));
  gKit->Shots.push_back(VtShot(gKit->Screen.Vt));
}

using TScenario = std::function<void(int APeer)>;

class LeanKitTest : public DoorTest {
 protected:
  std::vector<TVtShot> Run(bool ALean, const TScenario &AScenario, size_t &ABytes) {
    ResetModules();
    TNetPair Pair;
    EXPECT_TRUE(NetSocketPair(Pair));
    std::vector<std::string> Args{"-N1", "-S{fd}"};
    if (ALean) Args.push_back("-E");
    Startup(Args, Pair.Door);
    TKitCaller Kit;
    Kit.Peer = gLaterFd = Pair.Peer;
    gKit = &Kit;
    CommOnFlushed = OnFlushed;
    AScenario(Pair.Peer);
    DoorClose(false);
    Pair.Door = -1;
    CommOnFlushed = nullptr;
    ResetModules();
    ABytes = Kit.Screen.Bytes;
    return Kit.Shots;
  }

  void ExpectSameScreens(const TScenario &AScenario) {
    size_t FullBytes = 0, LeanBytes = 0;
    const std::vector<TVtShot> Full = Run(false, AScenario, FullBytes);
    const std::vector<TVtShot> Lean = Run(true, AScenario, LeanBytes);
    ASSERT_EQ(Lean.size(), Full.size()) << "points where the link sent";
    ASSERT_GT(Full.size(), 1u);
    for (size_t I = 0; I < Full.size(); ++I) {
      ASSERT_EQ(VtShotDifference(Full[I], Lean[I]), "") << "where the link sent for the " << I + 1 << ". time";
    }
    EXPECT_LE(LeanBytes, FullBytes);
  }
};

TEST_F(LeanKitTest, LineInputEditing) {
  ExpectSameScreens([](int APeer) {
    DoorTextAttr(0x07);
    DoorClrScr();
    DoorGotoXY(3, 5);
    DoorWrite("|0EName|07: ");
    // Typing, erasing, scrolling past the visible part, Ctrl-Y, DEL as backspace.
    NetSend(APeer, "Jo\bhn Q. Smithson-Worthington\bn\x19" "Alx\x7f" "ice\r");
    EXPECT_EQ(DoorInput("Someone", DOOR_INPUT_CHARS_ALL, 0, 12, 30, 0x1F), "Alice");
    DoorGotoXY(3, 7);
    DoorWrite("Password: ");
    NetSend(APeer, "secret\b\bet\r");
    EXPECT_EQ(DoorInput("", DOOR_INPUT_CHARS_ALL, '*', 10, 20, 0x4F), "secret");
    DoorGotoXY(66, 9);
    NetSend(APeer, "abc\x1b");  // ESC alone: the default back
    EXPECT_EQ(DoorInput("keep me", DOOR_INPUT_CHARS_ALPHA, 0, 14, 14, 0x2E), "keep me");
  });
}

TEST_F(LeanKitTest, TheLightbar) {
  ExpectSameScreens([](int APeer) {
    DoorTextAttr(0x1E);
    DoorClrScr();
    DoorGotoXY(10, 4);
    DoorLiteBarOptions = {"Read mail", "Post a message", "Files", "Games", "Who is online", "Settings", "Log off"};
    NetSend(APeer, "\x1b[B\x1b[B\x1b[B\x1b[B\x1b[A\x1b[B\x1b[B\x1b[B\r");
    EXPECT_TRUE(DoorLiteBar(3));
    DoorTextAttr(0x70);
    DoorGotoXY(50, 20);
    NetSend(APeer, "\x1b[A\x1b[A\x1b");
    EXPECT_FALSE(DoorLiteBar(0));
  });
}

TEST_F(LeanKitTest, TheMorePromptAndTheSpinner) {
  ExpectSameScreens([](int APeer) {
    DoorSession.TolvarWrite = true;
    DoorClrScr();
    NetSend(APeer, "  ");
    DoorWrite("`2Page one of the bulletin`k`%Page two`\\`@Wait `|`k`cCleared`r4`y on red`x");
    DoorWriteLn();
  });
}

TEST_F(LeanKitTest, ClearScreensSavedCursorsAndScrolling) {
  ExpectSameScreens([](int APeer) {
    DoorTextAttr(0x4E);
    DoorClrScr();
    DoorWriteLn("On red");
    DoorTextBackground(1);
    DoorClrScr();
    DoorWrite("On blue");
    DoorCursorSave();
    DoorGotoXY(40, 10);
    DoorWrite("there");
    DoorCursorRestore();
    DoorWrite(" and back");
    DoorGotoXY(1, 12);
    DoorWriteCentered("|0FCentred |0Ein |0Bcolours");
    NetSend(APeer, "x");
    DoorReadKey();
    // Lines that scroll the caller's screen up.
    for (int I = 0; I < 30; ++I) DoorWriteLn("|0" + std::string(1, "123456789ABCDEF"[I % 15]) + "Line " + std::to_string(I));
    NetSend(APeer, "x");
    DoorReadKey();
    DoorTextAttr(0x07);
    DoorClrScr();
    DoorWrite("Done");
  });
}

// The ends that come from the kit itself end the program: each runs in a child, the caller's
// screen read once the child has gone.
std::string EndedSession(bool ALean, void (*AEnd)()) {
  TNetPair Pair;
  if (!NetSocketPair(Pair)) return "";
  const pid_t Child = fork();
  if (Child == 0) {
    NetClose(Pair.Peer);
    ResetModules();
    std::vector<std::string> Args{"-N1", "-S{fd}"};
    if (ALean) Args.push_back("-E");
    Startup(Args, Pair.Door);
    DoorTextAttr(0x1F);
    DoorGotoXY(20, 10);
    DoorWrite("The show was here");
    DoorKeyPressed();
    AEnd();
    _exit(99);
  }
  NetClose(Pair.Door);
  std::string Wire = NetRecv(Pair.Peer, 1 << 20, 10000);
  int Status = 0;
  waitpid(Child, &Status, 0);
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
  return Wire;
}

TEST_F(LeanKitTest, TimeUpIdleAndHangUpEnds) {
  const struct {
    const char *Name;
    void (*End)();
    const char *Says;
  } kEnds[] = {
      {"time up", [] { DoorDropInfo.MaxSeconds = 5; AdvanceSeconds(10); DoorKeyPressed(); }, "Your Time Has Expired."},
      {"idle", [] { DoorSession.MaxIdle = 5; AdvanceSeconds(10); DoorKeyPressed(); }, "Idle Time Limit Exceeded."},
      // The board's SIGHUP, as the console hands it on.
      {"hang-up", [] { ConsoleOnSignal(SIGHUP); }, "The show was here"},
  };
  for (const auto &E : kEnds) {
    SCOPED_TRACE(E.Name);
    TWireCaller Full, Lean;
    const std::string FullWire = EndedSession(false, E.End), LeanWire = EndedSession(true, E.End);
    Full.Feed(FullWire);
    Lean.Feed(LeanWire);
    EXPECT_NE(FullWire.find(E.Says), std::string::npos);
    EXPECT_EQ(VtShotDifference(VtShot(Full.Vt), VtShot(Lean.Vt)), "") << Escaped(LeanWire);
  }
}

}  // namespace
