// The lean wire: what the caller's terminal shows at every point where the link sends is
// what the full stream shows there, on an independent terminal emulator, for random door
// output and for the kit's own screens (line input, the lightbar, the MORE prompt, clear
// screens, the time-up, idle and hang-up ends); and the lean stream is the smaller.
#include <sys/wait.h>

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

}  // namespace
