// The show's pieces driven headless: the greeting's rules, the questions, the exit keys,
// the top scroller, the backdrop and the melody. What the caller gets is read off a real
// socket handed to the kit as a board would; what the sysop sees, off the local console.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "ansi_internal.h"
#include "comm_internal.h"
#include "doorkit/console.h"
#include "console_internal.h"
#include "crt2_internal.h"
#include "demo.h"
#include "demo_internal.h"
#include "door_internal.h"
#include "e2e/wire.h"
#include "net.h"

namespace {

void ResetAll() {
  DoorReset();
  CommReset();
  ConsoleReset();
  ConsoleSetSleep(nullptr);
  Crt2Reset();
  AnsiReset();
  ResetDemoState();
  DemoRandSeed(20250401);
  SpiralChars.clear();
  SpiralText.clear();
  CenteredText.clear();
}

void NoSleep(uint32_t) {}

// Characters of absolute row AY, columns AX1 to AX2.
std::string Cells(int AX1, int AX2, int AY) {
  std::string S;
  for (int X = AX1; X <= AX2; ++X) S += static_cast<char>(ConsoleCell(X, AY).Ch);
  return S;
}

// AN characters of absolute row AY from column AX.
std::string At(int AX, int AY, size_t AN) { return ConsoleRowText(AY).substr(static_cast<size_t>(AX - 1), AN); }

size_t Count(const std::string &AText, const std::string &AWhat) {
  size_t N = 0;
  for (size_t P = AText.find(AWhat); P != std::string::npos; P = AText.find(AWhat, P + 1)) ++N;
  return N;
}

class DemoShowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAll();
    ConsoleSetSleep(NoSleep);
  }
  void TearDown() override { ResetAll(); }

  // A link session on a socketpair, started the way a board starts the door.
  void StartLink() {
    ASSERT_TRUE(NetSocketPair(Pair));
    std::string Socket = "-S" + std::to_string(Pair.Door);
    std::string Prog = "vantorama", Node = "-N1";
    char *Argv[] = {Prog.data(), Node.data(), Socket.data(), nullptr};
    DoorStartup(3, Argv);
    ASSERT_FALSE(DoorStdio());
    Tap.Start(Pair.Peer);
    Wire();  // the telnet announcements and the clear screen
  }

  // Everything the caller has been sent since the last call.
  std::string Wire() { return Tap.Take(); }

  TNetPair Pair;
  TWireTap Tap;  // declared after the pair: stops reading before the sockets close
};

TEST(DemoMessageTest, GreetingKeepsTheScrollersRules) {
  const std::string M(TOP_SCROLL_MESSAGE);
  ASSERT_EQ(M.size(), 1058u);
  ASSERT_EQ(M.substr(0, 4), "*** ");
  ASSERT_EQ(M.substr(M.size() - 5), " *** ");
  std::vector<std::string> Segments;
  for (size_t P = 4; P < M.size();) {
    size_t End = M.find(" *** ", P);
    ASSERT_NE(End, std::string::npos);
    Segments.push_back(M.substr(P, End - P));
    P = End + 5;
  }
  ASSERT_EQ(Segments.size(), 15u);
  EXPECT_EQ(Segments[0], "GREETINGS FROM THE KELVARRA");
  for (const std::string &S : Segments) {
    SCOPED_TRACE(S);
    EXPECT_FALSE(S.empty());
    EXPECT_EQ(S.find("***"), std::string::npos);
    EXPECT_NE(S.front(), ' ');
    EXPECT_NE(S.back(), ' ');
  }
  const std::string Allowed = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 !'*,-.:";
  for (char C : M) EXPECT_NE(Allowed.find(C), std::string::npos) << "character " << int(C);
  EXPECT_EQ(M.find('|'), std::string::npos);
  EXPECT_EQ(M.find('`'), std::string::npos);
}

TEST_F(DemoShowTest, QuestionsTakeOnlyYOrNAndEchoUpperCase) {
  // Q and digits are not answers; lower case answers count.
  ConsolePushInput("Q7y");
  EXPECT_TRUE(AskUseAnsiMusic());
  const std::string Question = "Would you like to enable ANSI Music for this demo? (Y/N): Y";
  EXPECT_EQ(At(10, 6, 62), "If you answer yes to either of the following questions and see");
  EXPECT_EQ(At(10, 7, 62), "garbage on the screen, your terminal is not capable. Try again");
  EXPECT_EQ(At(10, 8, 15), "and answer no. ");
  EXPECT_EQ(At(10, 10, Question.size() + 1), Question + " ");
  EXPECT_EQ(ConsoleCell(10, 10).Attr, 0x0F);

  ConsolePushInput("xn");
  EXPECT_FALSE(AskUseSixel());
  EXPECT_EQ(At(10, 12, 49), "Would you like to enable Sixel graphics? (Y/N): N");
  EXPECT_EQ(At(1, 13, 20), std::string(20, ' '));
  EXPECT_EQ(At(1, 14, 16), "Loading demo... ");
  // The first question's screen stays: the second one does not clear it.
  EXPECT_EQ(At(10, 8, 14), "and answer no.");
  EXPECT_FALSE(KeyPressed());
}

TEST_F(DemoShowTest, CheckForExitReadsAtMostOneKey) {
  struct Case {
    const char *Name;
    const char *Keys;
    std::vector<bool> Results;  // one CheckForExit per entry
  };
  const Case kCases[] = {
      {"nothing waiting", "", {false, false}},
      {"q", "q", {true, false}},
      {"Q", "Q", {true}},
      {"other keys are dropped one per call", "xYq", {false, false, true, false}},
      {"an exit key after the one read stays", "nQ", {false, true}},
  };
  for (const Case &C : kCases) {
    SCOPED_TRACE(C.Name);
    ResetAll();
    ConsolePushInput(C.Keys);
    for (size_t I = 0; I < C.Results.size(); ++I) EXPECT_EQ(CheckForExit(), C.Results[I]) << "call " << I;
  }
}

TEST_F(DemoShowTest, ScrollerAdvancesOnOddFramesAndHopsRowsEveryFortieth) {
  const std::string M(TOP_SCROLL_MESSAGE);
  UseAnsiMusic = true;
  // Frame 1: already one character on, in colour (2 + 65) mod 15 + 1 = 8.
  UpdateTopScroll();
  ++TickCount;
  EXPECT_EQ(TopScrollPos, 2);
  EXPECT_EQ(Cells(7, 72, 2), M.substr(1, 66));
  EXPECT_EQ(ConsoleCell(7, 2).Attr, 0x08);
  EXPECT_EQ(ConsoleCell(72, 2).Attr, 0x08);
  EXPECT_EQ(ConsoleCell(6, 2).Ch, ' ');
  EXPECT_EQ(ConsoleCell(73, 2).Ch, ' ');

  // Frame 2 stands still; frame 3 moves on and the colour with it.
  UpdateTopScroll();
  ++TickCount;
  EXPECT_EQ(Cells(7, 72, 2), M.substr(1, 66));
  UpdateTopScroll();
  ++TickCount;
  EXPECT_EQ(Cells(7, 72, 2), M.substr(2, 66));
  EXPECT_EQ(ConsoleCell(7, 2).Attr, 0x09);

  for (int Frame = 4; Frame <= 39; ++Frame, ++TickCount) UpdateTopScroll();
  EXPECT_EQ(TopScrollY, 2);
  EXPECT_EQ(CurrentMelodyIndex, 0);
  UpdateTopScroll();  // frame 40
  ++TickCount;
  EXPECT_EQ(TopScrollY, 3);
  EXPECT_EQ(Cells(7, 72, 2), std::string(66, ' '));
  EXPECT_EQ(Cells(7, 72, 3), M.substr(20, 66));
  EXPECT_EQ(CurrentMelodyIndex, 1) << "a note on the hop";

  for (int Frame = 41; Frame <= 80; ++Frame, ++TickCount) UpdateTopScroll();
  EXPECT_EQ(TopScrollY, 2);
  EXPECT_EQ(Cells(7, 72, 3), std::string(66, ' '));
  EXPECT_EQ(CurrentMelodyIndex, 2);
}

TEST_F(DemoShowTest, ScrollerWrapsRoundTheEndOfTheMessage) {
  const std::string M(TOP_SCROLL_MESSAGE);
  TopScrollPos = 1057;
  UpdateTopScroll();  // TickCount 0: advances to 1058
  EXPECT_EQ(TopScrollPos, 1058);
  EXPECT_EQ(Cells(7, 72, 2), M.substr(1057, 1) + M.substr(0, 65));
  EXPECT_EQ(ConsoleCell(7, 2).Attr, 0x0E);  // (1058 + 65) mod 15 + 1 = 14
  TickCount = 2;
  UpdateTopScroll();
  EXPECT_EQ(TopScrollPos, 1);
  EXPECT_EQ(Cells(7, 72, 2), M.substr(0, 66));
  EXPECT_EQ(ConsoleCell(7, 2).Attr, 0x07);  // (1 + 65) mod 15 + 1 = 7
}

TEST_F(DemoShowTest, ScrollerFrameOnTheWire) {
  StartLink();
  UpdateTopScroll();
  const std::string W = Wire();
  const std::string Blank = "\x1b[40m" + std::string(66, ' ');
  // The other row blanked first, then the current one; no foreground for the blanks.
  ASSERT_EQ(W.substr(0, 6 + Blank.size()), "\x1b[3;7f" + Blank);
  ASSERT_EQ(W.substr(6 + Blank.size(), 6 + Blank.size()), "\x1b[2;7f" + Blank);
  // 66 colour and background pairs, then the line in one piece.
  const std::string Tail = "\x1b[2;7f" + std::string(TOP_SCROLL_MESSAGE.substr(1, 66));
  ASSERT_GE(W.size(), Tail.size());
  EXPECT_EQ(W.substr(W.size() - Tail.size()), Tail);
  const std::string Middle = W.substr(2 * (6 + Blank.size()), W.size() - Tail.size() - 2 * (6 + Blank.size()));
  EXPECT_EQ(Count(Middle, "\x1b[40m"), 66u + 33u) << "a black background after each colour, and after each of the 33 dark ones";
  EXPECT_TRUE(Middle.ends_with("\x1b[1;30m\x1b[40m")) << "the last colour set is 8";
  EXPECT_EQ(Count(W, "\x1b[N"), 0u) << "no note without a hop";
}

TEST_F(DemoShowTest, MelodyTableInOrder) {
  const char *kExpected =
      "C4 E4 G4 A4 G4 E4 C4 E4 D4 F4 A4 B4 A4 F4 D4 F4 E3 G3 B3 C4 B3 G3 E3 G3 A4 G4 F4 E4 D4 C4 B3 A3 "
      "C4 D4 E4 G4 A4 C5 A4 G4 F4 A4 C5 F4 A4 C5 F4 D4 E4 G4 B4 E5 B4 G4 E4 B3 C4 E4 G4 C5 G4 E4 C4 C4 ";
  std::string Got;
  for (const TMelodyNote &N : MELODY) {
    Got += std::string(N.Note) + N.Octave + " ";
    EXPECT_STREQ(N.Duration, "16");
  }
  EXPECT_EQ(Got, kExpected);
}

TEST_F(DemoShowTest, NotesOnTheWireAndLocally) {
  StartLink();
  DoorGotoXY(30, 8);
  Wire();

  PlayMelodyNote();  // music off
  EXPECT_EQ(Wire(), "");
  EXPECT_EQ(CurrentMelodyIndex, 0);

  UseAnsiMusic = true;
  PlayMelodyNote();
  EXPECT_EQ(Wire(), "\x1b[s\x1b[1;1H\x1b[NMB T160 O4 C16\x0e\x1b[u");
  EXPECT_EQ(CurrentMelodyIndex, 1);
  // The local interpreter knows no music: the text shows at the top-left, the cursor goes back.
  EXPECT_EQ(Cells(1, 14, 1), "MB T160 O4 C16");
  EXPECT_EQ(ConsoleCursorX(), 30);
  EXPECT_EQ(ConsoleCursorY(), 8);

  CurrentMelodyIndex = 51;
  PlayMelodyNote();
  EXPECT_EQ(Wire(), "\x1b[s\x1b[1;1H\x1b[NMB T160 O5 E16\x0e\x1b[u");
  CurrentMelodyIndex = 63;
  PlayMelodyNote();
  EXPECT_EQ(Wire(), "\x1b[s\x1b[1;1H\x1b[NMB T160 O4 C16\x0e\x1b[u");
  EXPECT_EQ(CurrentMelodyIndex, 0) << "after row 63 comes row 0";
}

// The frame schedule of notes: the scroller's on every 40th frame, the spiral's on every
// 15th, the scroller's first where both fall, always the next row of the table.
TEST_F(DemoShowTest, NotesFollowTheFrameScheduleInTableOrder) {
  StartLink();
  UseAnsiMusic = true;
  InitializeSpiral();
  LoadBackground();
  Wire();
  std::vector<std::pair<int, std::string>> Notes;
  for (int Frame = 1; Frame <= 120; ++Frame) {
    UpdateTopScroll();
    UpdateSpiral();
    const std::string W = Wire();
    for (size_t P = W.find("\x1b[NMB T160 O"); P != std::string::npos; P = W.find("\x1b[NMB T160 O", P + 1))
      Notes.emplace_back(Frame, W.substr(P + 12, W.find('\x0e', P) - P - 12));
  }
  const std::vector<std::pair<int, std::string>> kExpected = {
      {15, "4 C16"},  {30, "4 E16"}, {40, "4 G16"}, {45, "4 A16"},  {60, "4 G16"},  {75, "4 E16"},
      {80, "4 C16"},  {90, "4 E16"}, {105, "4 D16"}, {120, "4 F16"}, {120, "4 A16"},
  };
  EXPECT_EQ(Notes, kExpected);
}

TEST_F(DemoShowTest, BackdropOnTheLocalScreen) {
  LoadBackground();
  EXPECT_TRUE(BackgroundLoaded);
  EXPECT_EQ(CenteredText, "BBS Demo by Maelgrin - April 2025 - Press ESC or Q to exit");
  struct Cell {
    int X, Y;
    uint8_t Ch, Attr;
  };
  const Cell kCells[] = {
      {2, 1, 0xC9, 0x0F},  {3, 1, 0xCD, 0x0F},  {30, 1, 0xCD, 0x0F},  {45, 1, 0xCD, 0x0F},
      {78, 1, 0xCD, 0x0F}, {79, 1, 0xBB, 0x0F}, {2, 23, 0xC8, 0x0F},  {40, 23, 0xCD, 0x0F},
      {79, 23, 0xBC, 0x0F}, {2, 2, 0xBA, 0x0F}, {79, 22, 0xBA, 0x0F}, {1, 1, ' ', 0x07},
      {80, 12, ' ', 0x07}, {9, 4, 0xDA, 0x0E},  {10, 4, 0xC4, 0x0E},  {69, 4, 0xC4, 0x0E},
      {70, 4, 0xBF, 0x0E}, {9, 19, 0xC0, 0x0E}, {70, 19, 0xD9, 0x0E}, {9, 5, 0xB3, 0x0E},
      {70, 18, 0xB3, 0x0E}, {9, 20, ' ', 0x07}, {11, 22, 'B', 0x0F},  {10, 22, ' ', 0x07},
  };
  for (const Cell &C : kCells) {
    SCOPED_TRACE(testing::Message() << C.X << "," << C.Y);
    EXPECT_EQ(ConsoleCell(C.X, C.Y).Ch, C.Ch);
    EXPECT_EQ(ConsoleCell(C.X, C.Y).Attr, C.Attr);
  }
  EXPECT_EQ(Cells(31, 44, 1), " THE KELVARRA ");
  EXPECT_EQ(Cells(11, 68, 22), "BBS Demo by Maelgrin - April 2025 - Press ESC or Q to exit");
  for (int Y = 5; Y <= 18; ++Y) EXPECT_EQ(Cells(10, 69, Y), std::string(60, ' ')) << "row " << Y;
}

TEST_F(DemoShowTest, BackdropWithoutThePictureSendsNoneOfIt) {
  StartLink();
  LoadBackground();
  const std::string W = Wire();
  // The clear's own home, then straight to the frame: no move to 1, 1 and no picture.
  EXPECT_TRUE(W.starts_with("\x1b[2J\x1b[1;1f\x1b[40m\x1b[1;37m\x1b[1;2f\xC9")) << W.substr(0, 40);
  EXPECT_EQ(W.find("\x1bP"), std::string::npos);
}

TEST_F(DemoShowTest, BackdropSendsThePictureFirstAndDrawsOverIt) {
  char Old[PATH_MAX];
  ASSERT_NE(getcwd(Old, sizeof(Old)), nullptr);
  ASSERT_EQ(chdir(VANTORAMA_SOURCE_DIR "/demo"), 0);
  StartLink();
  UseSixel = true;
  LoadBackground();
  const std::string W = Wire();
  ASSERT_EQ(chdir(Old), 0);

  const std::string Start = "\x1b[2J\x1b[1;1f\x1b[1;1f\x1bP";
  ASSERT_TRUE(W.starts_with(Start)) << W.substr(0, 40);
  const size_t End = W.find("\x1b\\");
  ASSERT_NE(End, std::string::npos);
  // Lines joined by CR LF, no line end after the last; the frame follows.
  EXPECT_TRUE(W.compare(End + 2, 8, "\x1b[40m\x1b[1") == 0) << W.substr(End, 20);
  EXPECT_GT(End, 10000u);
  EXPECT_EQ(W.find("\x1b[2J", 1), std::string::npos);
  EXPECT_NE(W.find("\r\n#1"), std::string::npos);
  // Nothing of the picture is painted locally: the frame is all the sysop sees.
  EXPECT_EQ(ConsoleCell(1, 1).Ch, ' ');
  EXPECT_EQ(ConsoleCell(2, 1).Ch, 0xC9);
  EXPECT_EQ(Cells(10, 69, 10), std::string(60, ' '));
}

}  // namespace
