// The built door as a board runs it: a caller on loopback TCP, the door started with
// -N1 -S<fd> and the socket inherited, the caller's screen read off an independent
// terminal emulator. Each run stays bounded: the show goes on until the caller leaves.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <string>

#include "e2e/caller.h"

namespace {

using e2e::TDoorRun;

std::string BinFolder() {
  std::string Bin = VANTORAMA_BIN;
  return Bin.substr(0, Bin.rfind('/'));
}

// The greeting as the caller reads it from the screen: characters AFrom to AFrom + 65.
std::string ScrollText(const std::string &ARow) { return ARow.substr(6, 66); }

constexpr const char *kQuestionMusic = "Would you like to enable ANSI Music for this demo? (Y/N): ";
constexpr const char *kQuestionSixel = "Would you like to enable Sixel graphics? (Y/N): ";
constexpr const char *kFarewell1 = "Thanks for checking out the Vantorama Demo!";
constexpr const char *kFarewell2 = "Returning to BBS...";

// Farewell, exit code 0, and the caller still on the board's own descriptor.
void ExpectHandedBack(TDoorRun &ARun) {
  ASSERT_TRUE(ARun.ScreenShows(1, 1, kFarewell1));
  EXPECT_TRUE(ARun.ScreenShows(2, 1, kFarewell2));
  ASSERT_TRUE(ARun.Wait(10000)) << "the door did not end";
  ASSERT_TRUE(WIFEXITED(ARun.Status));
  EXPECT_EQ(WEXITSTATUS(ARun.Status), 0);
  // The door closed only its own handle: no end of stream, and the board still reaches the caller.
  EXPECT_FALSE(ARun.Caller.Closed);
  EXPECT_TRUE(ARun.Caller.Raw.ends_with(std::string(kFarewell2) + "\r\n"));
  ASSERT_TRUE(NetSend(ARun.Pair.Door, "Back at the board.\r\n"));
  EXPECT_EQ(NetRecv(ARun.Pair.Peer, 20, 2000), "Back at the board.\r\n");
}

TEST(DoorE2ETest, ShowWithMusicAndPictureForACallerOnTheBoard) {
  TDoorRun Run;
  ASSERT_TRUE(Run.Start(BinFolder()));
  ASSERT_TRUE(Run.ScreenShows(10, 10, kQuestionMusic));
  EXPECT_EQ(Run.Caller.Row(6).substr(9, 62), "If you answer yes to either of the following questions and see");
  EXPECT_EQ(Run.Caller.Row(8).substr(9, 14), "and answer no.");
  // ESC and Q are no answers here; the ESC is taken alone, since "[" does not follow it.
  ASSERT_TRUE(Run.Type("\x1bqxy"));
  ASSERT_TRUE(Run.ScreenShows(12, 10, kQuestionSixel));
  EXPECT_EQ(Run.Caller.Row(10).substr(9, 60), std::string(kQuestionMusic) + "Y ");
  ASSERT_TRUE(Run.Type("Y"));
  ASSERT_TRUE(Run.ScreenShows(14, 1, "Loading demo..."));

  ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Frames > 236; }, 40000)) << Run.Caller.Frames << " frames";
  ASSERT_TRUE(Run.Type("z"));  // any other key: the show goes on
  const int Before = Run.Caller.Frames;
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Frames > Before + 10; }, 5000));
  ASSERT_TRUE(Run.Type("q"));
  ExpectHandedBack(Run);

  const e2e::TCaller &C = Run.Caller;
  // The picture went out before the backdrop and the first frame.
  const size_t Picture = C.Raw.find("\x1bP");
  const size_t Title = C.Raw.find(" THE KELVARRA ");
  ASSERT_NE(Picture, std::string::npos);
  EXPECT_LT(Picture, Title);
  EXPECT_LT(Title, C.Raw.find("\x1b[3;7f"));

  const std::string M =
      "*** GREETINGS FROM THE KELVARRA *** WELCOME TO VANTORAMA, A LITTLE DOOR THAT PAINTS WHILE THE MODEM";
  const std::string Blank(66, ' ');
  ASSERT_TRUE(C.Shots.count(1) && C.Shots.count(39) && C.Shots.count(40) && C.Shots.count(80));
  EXPECT_EQ(ScrollText(C.Shots.at(1).Row2), M.substr(1, 66));
  EXPECT_EQ(C.Shots.at(1).Row2Attr7, 0x08);
  EXPECT_EQ(ScrollText(C.Shots.at(1).Row3), Blank);
  EXPECT_EQ(ScrollText(C.Shots.at(39).Row2), M.substr(20, 66));
  EXPECT_EQ(ScrollText(C.Shots.at(40).Row3), M.substr(20, 66));
  EXPECT_EQ(ScrollText(C.Shots.at(40).Row2), Blank);
  EXPECT_EQ(ScrollText(C.Shots.at(80).Row3), Blank);

  // The centre text stands lined up on frames 200 to 229, each character in its colour.
  const uint8_t kColors[15] = {9, 10, 11, 12, 13, 14, 9, 10, 11, 12, 13, 14, 9, 10, 11};
  for (int Frame = 195; Frame <= 235; ++Frame) {
    SCOPED_TRACE(Frame);
    const e2e::TFrameShot &S = C.Shots.at(Frame);
    const bool LinedUp = S.Row12.substr(33, 15) == "VANTORAMA 2025 ";
    EXPECT_EQ(LinedUp, Frame >= 200 && Frame <= 229) << S.Row12;
    if (Frame >= 200 && Frame <= 229) {
      for (int I = 0; I < 14; ++I) EXPECT_EQ(S.Row12Attr[33 + I], kColors[I]) << "column " << 34 + I;
    }
  }

  // Notes: the scroller's on every 40th frame, the spiral's on every 15th, in table order,
  // each between a cursor save and restore.
  const char *kTune[] = {"O4 C16", "O4 E16", "O4 G16", "O4 A16", "O4 G16", "O4 E16", "O4 C16", "O4 E16",
                         "O4 D16", "O4 F16", "O4 A16", "O4 B16", "O4 A16", "O4 F16", "O4 D16", "O4 F16",
                         "O3 E16", "O3 G16", "O3 B16", "O4 C16", "O3 B16", "O3 G16", "O3 E16", "O3 G16"};
  std::vector<int> Expected;
  for (int F = 1; F <= 235; ++F) {
    if (F % 40 == 0) Expected.push_back(F);
    if (F % 15 == 0) Expected.push_back(F);
  }
  ASSERT_GE(C.Notes.size(), Expected.size());
  for (size_t I = 0; I < Expected.size(); ++I) {
    SCOPED_TRACE(I);
    EXPECT_EQ(C.Notes[I].first, Expected[I]);
    EXPECT_EQ(C.Notes[I].second, std::string("MB T160 ") + kTune[I % 24]);
  }
  size_t Framed = 0;
  for (size_t P = C.Raw.find("\x1b[s\x1b[1;1H\x1b[NMB T160 O"); P != std::string::npos;
       P = C.Raw.find("\x1b[s\x1b[1;1H\x1b[NMB T160 O", P + 1)) {
    const size_t End = C.Raw.find('\x0e', P);
    ASSERT_NE(End, std::string::npos);
    EXPECT_EQ(C.Raw.compare(End + 1, 3, "\x1b[u"), 0);
    ++Framed;
  }
  EXPECT_EQ(Framed, C.Notes.size());
}

// The short runs: no music, no picture (or a missing one), and the other exit keys.
TEST(DoorE2ETest, ExitKeysWithoutMusic) {
  struct Case {
    const char *Name;
    const char *Sixel;
    const char *ExitKey;
  };
  const Case kCases[] = {
      {"upper-case Q, no picture", "n", "Q"},
      {"ESC, the picture missing from the folder", "y", "\x1b"},
  };
  for (const Case &K : kCases) {
    SCOPED_TRACE(K.Name);
    TTempDir Empty;
    if (K.Sixel[0] == 'y' && access(VANTORAMA_DATA_PICTURE, R_OK) == 0)
      GTEST_SKIP() << "an installed picture at " << VANTORAMA_DATA_PICTURE << " would be found";
    TDoorRun Run;
    ASSERT_TRUE(Run.Start(K.Sixel[0] == 'y' ? Empty.Path : BinFolder()));
    ASSERT_TRUE(Run.ScreenShows(10, 10, kQuestionMusic));
    ASSERT_TRUE(Run.Type("N"));
    ASSERT_TRUE(Run.ScreenShows(12, 10, kQuestionSixel));
    ASSERT_TRUE(Run.Type(K.Sixel));
    if (K.Sixel[0] == 'y') {
      // Reported to the caller, who presses a key; then the show goes on as usual.
      ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Raw.find("Hit a key to continue") != std::string::npos; },
                                15000));
      EXPECT_NE(Run.Caller.Raw.find("Error reading \"vortex.sixel\": "), std::string::npos);
      EXPECT_EQ(Run.Caller.Frames, 0);
      ASSERT_TRUE(Run.Type(" "));
    }
    // The report went with the key: the caller's screen is the sysop's again.
    ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Frames > 2; }, 20000));
    EXPECT_EQ(Run.Caller.Row(1)[0], ' ') << Run.Caller.Row(1);
    EXPECT_EQ(Run.Caller.Row(2)[0], ' ') << Run.Caller.Row(2);
    ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Frames > 46; }, 20000)) << Run.Caller.Frames << " frames";

    // The backdrop: its text on the caller's screen, its code page 437 box pieces sent
    // in place (the emulator here has no code page 437 font to show them with).
    const e2e::TCaller &C = Run.Caller;
    const e2e::TFrameShot &S = C.Shots.at(46);
    EXPECT_EQ(S.Row2.substr(6, 66), std::string(66, ' ')) << "frame 46 is on row 3";
    EXPECT_NE(S.Row3.substr(6, 66), std::string(66, ' '));
    EXPECT_EQ(C.Row(1).substr(30, 14), " THE KELVARRA ");
    EXPECT_EQ(C.Row(22).substr(10, 58), "BBS Demo by Maelgrin - April 2025 - Press ESC or Q to exit");
    const std::string kPieces[] = {
        "\x1b[1;2f\xC9", "\x1b[1;3f" + std::string(76, '\xCD'), "\x1b[1;79f\xBB", "\x1b[23;2f\xC8",
        "\x1b[23;79f\xBC", "\x1b[10;2f\x1b[40m\x1b[1;37m\xBA\x1b[10;79f\xBA",
        "\x1b[4;9f\xDA" + std::string(60, '\xC4') + "\xBF", "\x1b[19;9f\xC0" + std::string(60, '\xC4') + "\xD9",
        "\x1b[18;9f\x1b[40m\x1b[1;33m\xB3\x1b[18;70f\xB3",
    };
    for (const std::string &P : kPieces) EXPECT_NE(C.Raw.find(P), std::string::npos) << P.substr(1);

    ASSERT_TRUE(Run.Type(K.ExitKey));
    ExpectHandedBack(Run);
    EXPECT_TRUE(Run.Caller.Notes.empty());
    EXPECT_EQ(Run.Caller.Raw.find("\x1b[N"), std::string::npos);
    EXPECT_EQ(Run.Caller.Raw.find("\x1bP"), std::string::npos);
  }
}

// Keys of today's terminals during the show: Shift-Tab (ESC [ Z, unknown here), F1 and an
// arrow in application mode are keys or nothing, never the end of the show, and none of
// them holds the frames up.
TEST(DoorE2ETest, TodaysTerminalKeysNeitherEndNorHoldTheShow) {
  TDoorRun Run;
  ASSERT_TRUE(Run.Start(BinFolder()));
  ASSERT_TRUE(Run.ScreenShows(10, 10, kQuestionMusic));
  ASSERT_TRUE(Run.Type("n"));
  ASSERT_TRUE(Run.ScreenShows(12, 10, kQuestionSixel));
  ASSERT_TRUE(Run.Type("n"));
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Frames > 5; }, 20000)) << Run.Caller.Frames << " frames";
  for (const char *Keys : {"\x1b[Z", "\x1bOP", "\x1bOA", "\x1b[", "\x1b[24~"}) {
    SCOPED_TRACE(Keys + 1);
    ASSERT_TRUE(Run.Type(Keys));
    const int Before = Run.Caller.Frames;
    ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Frames > Before + 10; }, 5000)) << "the show stopped";
  }
  EXPECT_EQ(Run.Caller.Raw.find(kFarewell1), std::string::npos);
  ASSERT_TRUE(Run.Type("q"));
  ExpectHandedBack(Run);
}

// A caller whose client reports the window size whenever it is resized: the reports are
// telnet, not keys, though their bytes spell ESC and Q.
TEST(DoorE2ETest, WindowSizeReportsDuringTheShowAreNoKeys) {
  const std::string kAnswers("\xFF\xFD\x00\xFF\xFD\x01\xFF\xFB\x1F", 9);  // DO BINARY, DO ECHO, WILL NAWS
  const std::string kReports[] = {
      std::string("\xFF\xFA\x1F\x00\x50\x00\x1B\xFF\xF0", 9),  // 80 x 27: ESC
      std::string("\xFF\xFA\x1F\x00\x51\x00\x19\xFF\xF0", 9),  // 81 x 25: Q
      std::string("\xFF\xFA\x1F\x00\x71\x00\x1B\xFF\xF0", 9),  // 113 x 27: q
  };
  TDoorRun Run;
  ASSERT_TRUE(Run.Start(BinFolder()));
  ASSERT_TRUE(Run.ScreenShows(10, 10, kQuestionMusic));
  ASSERT_TRUE(Run.Type(kAnswers + kReports[0] + "n"));
  ASSERT_TRUE(Run.ScreenShows(12, 10, kQuestionSixel));
  ASSERT_TRUE(Run.Type("n"));
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Frames > 5; }, 20000)) << Run.Caller.Frames << " frames";
  for (const std::string &Report : kReports) {
    ASSERT_TRUE(Run.Type(Report));
    const int Before = Run.Caller.Frames;
    ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Frames > Before + 5; }, 5000)) << "the show ended";
  }
  EXPECT_EQ(Run.Caller.Raw.find(kFarewell1), std::string::npos);
  ASSERT_TRUE(Run.Type("q"));
  ExpectHandedBack(Run);
}

}  // namespace
