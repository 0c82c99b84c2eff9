// The centre text driven headless with a seeded generator: the path arithmetic (32-bit
// floats, 64-bit sine and cosine, halves rounded to even), the restarts, the neighbour rule
// and the schedule of line-ups and pattern changes over the first 900 frames.
#include <gtest/gtest.h>

#include <map>
#include <set>
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

void NoSleep(uint32_t) {}

void ResetAll() {
  DoorReset();
  CommReset();
  ConsoleReset();
  ConsoleSetSleep(nullptr);
  Crt2Reset();
  AnsiReset();
  ResetDemoState();
  DemoRandSeed(77);
  SpiralChars.clear();
  SpiralText.clear();
  CenteredText.clear();
}

class DemoSpiralTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAll();
    ConsoleSetSleep(NoSleep);
  }
  void TearDown() override { ResetAll(); }
};

struct PositionCase {
  const char *Name;
  float Radius;
  float Position;
  int32_t X, Y;
};

TEST(DemoPathTest, SquarePosition) {
  const PositionCase kCases[] = {
      {"top-left corner", 5, 0, 36, 7},
      {"top edge, half a cell goes to even", 5, 0.125f, 38, 7},
      {"top-right corner", 5, 0.25f, 46, 7},
      {"right edge, 2.5 rounds down", 5, 0.375f, 46, 9},
      {"right edge, single precision", 5, 0.3f, 46, 8},
      {"bottom-right corner", 5, 0.5f, 46, 17},
      {"bottom edge", 5, 0.625f, 44, 17},
      {"bottom-left corner", 5, 0.75f, 36, 17},
      {"left edge", 5, 0.875f, 36, 15},
      {"whole turns are dropped", 5, 1.375f, 46, 9},
      {"half-side 2.5 rounds to 2", 2.5f, 0.125f, 40, 10},
      {"half-side 3.5 rounds to 4", 3.5f, 0.125f, 39, 8},
      {"bottom edge leaves the box at 7", 7, 0.625f, 44, 19},
      {"top edge leaves the box at 8", 8, 0.125f, 37, 4},
      {"largest radius", 12, 0.5f, 53, 24},
  };
  for (const PositionCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    int32_t X = -1, Y = -1;
    CalculateSquarePosition(C.Radius, C.Position, X, Y);
    EXPECT_EQ(X, C.X);
    EXPECT_EQ(Y, C.Y);
  }
}

TEST(DemoPathTest, FlyingPosition) {
  const PositionCase kCases[] = {
      {"radius 10 is not pushed", 10, 0, 51, 12},
      {"10.5: 10.5 and 1.5 both round to even", 10.5f, 0, 49, 12},
      {"11.5: pushed 4 columns", 11.5f, 0, 49, 12},
      {"11.1: pushed 3 columns", 11.1f, 0, 49, 12},
      {"12, far side: pushed 6 columns", 12, 0.5f, 23, 12},
      {"half the rows: 2.5 rows down rounds to 2", 5, 0.25f, 41, 14},
      {"2.5 rows up rounds to -2", 5, 0.75f, 41, 10},
      {"4.5 rows down rounds to 4", 9, 0.25f, 41, 16},
      {"near the centre", 1, 0.5f, 40, 12},
  };
  for (const PositionCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    int32_t X = -1, Y = -1;
    CalculateFlyingPosition(C.Radius, C.Position, X, Y);
    EXPECT_EQ(X, C.X);
    EXPECT_EQ(Y, C.Y);
  }
}

TEST_F(DemoSpiralTest, InitializeBuildsSevenCopiesOfTheText) {
  InitializeSpiral();
  ASSERT_EQ(SpiralText.size(), 105u);
  ASSERT_EQ(SpiralChars.size(), 105u);
  EXPECT_EQ(SpiralText.substr(90), "VANTORAMA 2025 ");
  const uint8_t kColors[] = {9, 10, 11, 12, 13, 14, 9, 10};
  std::set<float> Radii;
  for (size_t I = 0; I < SpiralChars.size(); ++I) {
    const TSpiralChar &C = SpiralChars[I];
    SCOPED_TRACE(I);
    EXPECT_EQ(C.Ch, "VANTORAMA 2025 "[I % 15]);
    if (I < 8) {
      EXPECT_EQ(C.Color, kColors[I]);
    }
    EXPECT_EQ(C.Visible, I < 40);
    EXPECT_EQ(C.X, 41);
    EXPECT_EQ(C.Y, 12);
    EXPECT_GE(C.Angle, 0.0f);
    EXPECT_LT(C.Angle, 360.0f);
    EXPECT_EQ(C.Angle, static_cast<float>(static_cast<int>(C.Angle)));
    Radii.insert(C.Radius);
  }
  EXPECT_EQ(Radii, (std::set<float>{1.0f, 1.1f, 1.2f, 1.3f, 1.4f}));

  // The same seed gives the same characters.
  std::vector<float> First;
  for (const TSpiralChar &C : SpiralChars) First.push_back(C.Angle + 1000 * C.Radius);
  DemoRandSeed(77);
  InitializeSpiral();
  for (size_t I = 0; I < SpiralChars.size(); ++I) EXPECT_EQ(SpiralChars[I].Angle + 1000 * SpiralChars[I].Radius, First[I]);
}

TEST_F(DemoSpiralTest, FirstFrameErasesFortyCellsAtTheCentre) {
  TNetPair Pair;
  ASSERT_TRUE(NetSocketPair(Pair));
  std::string Socket = "-S" + std::to_string(Pair.Door), Prog = "vantorama", Node = "-N1";
  char *Argv[] = {Prog.data(), Node.data(), Socket.data(), nullptr};
  DoorStartup(3, Argv);
  InitializeSpiral();
  BackgroundLoaded = true;
  TWireTap Tap;
  Tap.Start(Pair.Peer);
  Tap.Take();
  UpdateSpiral();
  const std::string W = Tap.Take();
  Tap.Finish();
  std::string Erase;
  for (int I = 0; I < 40; ++I) Erase += "\x1b[12;41f\x1b[40m ";
  ASSERT_TRUE(W.starts_with(Erase));
  // Then the draw pass: background, colour, position, character.
  EXPECT_TRUE(W.compare(Erase.size(), 10, "\x1b[40m\x1b[1;3") == 0) << W.substr(Erase.size(), 30);
  EXPECT_EQ(TickCount, 1);
}

TEST_F(DemoSpiralTest, SpiralPathUsesDoublePrecisionSineAndCosine) {
  // 58.5 + 1.5 = 60 degrees at radius 5: cos is 0.5000000000000001 in double, so the
  // column is 41 + 3; in single precision it would be an exact half and round to 2.
  SpiralChars = {{'A', 41, 12, 9, 58.5f, 4.9f, false}};
  UpdateSpiral();
  EXPECT_EQ(SpiralChars[0].Angle, 60.0f);
  EXPECT_EQ(SpiralChars[0].Radius, 5.0f);
  EXPECT_EQ(SpiralChars[0].X, 44);
  EXPECT_EQ(SpiralChars[0].Y, 14);
  EXPECT_TRUE(SpiralChars[0].Visible);
  EXPECT_EQ(ConsoleCell(44, 14).Ch, 'A');
  EXPECT_EQ(ConsoleCell(44, 14).Attr, 0x09);

  // The angle wraps below 360.
  SpiralChars = {{'A', 41, 12, 9, 359.0f, 3.0f, false}};
  UpdateSpiral();
  EXPECT_EQ(SpiralChars[0].Angle, 0.5f);
}

TEST_F(DemoSpiralTest, NeighboursOnOneCellHideTheLaterOne) {
  struct Case {
    const char *Name;
    std::vector<float> Radii;  // all at angle 0, so equal radii give equal cells
    std::vector<bool> Visible;
    char Shown;  // what the shared cell shows
  };
  const Case kCases[] = {
      {"a run of equals: only the first is drawn, even after a hidden one", {5, 5, 5, 5}, {true, false, false, false}, 'A'},
      {"equal but not neighbours: both drawn, the later wins", {5, 8, 5}, {true, true, true}, 'C'},
  };
  for (const Case &C : kCases) {
    SCOPED_TRACE(C.Name);
    ResetAll();
    SpiralChars.clear();
    for (size_t I = 0; I < C.Radii.size(); ++I)
      SpiralChars.push_back({static_cast<char>('A' + I), 41, 12, static_cast<uint8_t>(9 + I), 358.5f,
                             C.Radii[I] - 0.1f, false});
    UpdateSpiral();
    for (size_t I = 0; I < C.Radii.size(); ++I) EXPECT_EQ(SpiralChars[I].Visible, C.Visible[I]) << "entry " << I;
    EXPECT_EQ(ConsoleCell(46, 12).Ch, C.Shown);
  }
}

TEST_F(DemoSpiralTest, EntriesRestartAfter106To110Frames) {
  InitializeSpiral();
  // Frames 1 to 199 are all animated; each entry restarts once in them.
  std::vector<float> Start;
  for (const TSpiralChar &C : SpiralChars) Start.push_back(C.Radius);
  std::vector<float> Last = Start;
  std::vector<int> RestartFrame(SpiralChars.size(), 0);
  for (int Frame = 1; Frame <= 199; ++Frame) {
    UpdateSpiral();
    ASSERT_FALSE(IsLinedUp);
    for (size_t I = 0; I < SpiralChars.size(); ++I) {
      const TSpiralChar &C = SpiralChars[I];
      ASSERT_LE(C.Radius, 12.1f);
      const bool Restarted = C.Radius < Last[I];
      Last[I] = C.Radius;
      if (RestartFrame[I] == 0 && Restarted) {
        RestartFrame[I] = Frame;
        EXPECT_FALSE(C.Visible);
        EXPECT_EQ(C.X, 41);
        EXPECT_EQ(C.Y, 12);
      }
    }
  }
  const std::map<float, int> kFrames = {{1.0f, 110}, {1.1f, 109}, {1.2f, 108}, {1.3f, 107}, {1.4f, 106}};
  for (size_t I = 0; I < SpiralChars.size(); ++I) {
    SCOPED_TRACE(I);
    EXPECT_EQ(RestartFrame[I], kFrames.at(Start[I]));
  }
}

TEST_F(DemoSpiralTest, ScheduleOfLineUpsAndPatterns) {
  InitializeSpiral();
  BackgroundLoaded = true;
  std::set<int> LinedUp;
  std::map<int, int32_t> Changes;
  int32_t Pattern = CurrentPattern;
  const std::string Text = "VANTORAMA 2025 ";
  const uint8_t kColors[15] = {9, 10, 11, 12, 13, 14, 9, 10, 11, 12, 13, 14, 9, 10, 11};
  for (int Frame = 1; Frame <= 900; ++Frame) {
    UpdateSpiral();
    ASSERT_EQ(TickCount, Frame);
    if (IsLinedUp) {
      LinedUp.insert(Frame);
      SCOPED_TRACE(Frame);
      ASSERT_EQ(ConsoleRowText(12).substr(33, 15), Text);
      for (int I = 0; I < 15; ++I) ASSERT_EQ(ConsoleCell(34 + I, 12).Attr, kColors[I]);
      for (size_t I = 15; I < SpiralChars.size(); ++I) ASSERT_FALSE(SpiralChars[I].Visible);
    } else {
      // Spiral and flying paths never leave their bounds, so nothing is hidden for that.
      for (const TSpiralChar &C : SpiralChars) {
        if (!C.Visible) continue;
        SCOPED_TRACE(testing::Message() << "frame " << Frame << " pattern " << CurrentPattern);
        ASSERT_GE(C.Y, CurrentPattern == PATTERN_SQUARE ? 5 : 6);
        ASSERT_LE(C.Y, 18);
        if (CurrentPattern == PATTERN_SPIRAL) {
          ASSERT_GE(C.X, 29);
          ASSERT_LE(C.X, 53);
        } else if (CurrentPattern == PATTERN_FLYING) {
          ASSERT_GE(C.X, 23);
          ASSERT_LE(C.X, 51);
        }
      }
    }
    if (CurrentPattern != Pattern) Changes[Frame] = Pattern = CurrentPattern;
  }
  std::set<int> kLinedUp;
  for (int Start : {200, 430, 660, 890})
    for (int F = Start; F < Start + 30 && F <= 900; ++F) kLinedUp.insert(F);
  EXPECT_EQ(LinedUp, kLinedUp);
  const std::map<int, int32_t> kChanges = {{150, PATTERN_SQUARE}, {330, PATTERN_FLYING}, {510, PATTERN_SPIRAL},
                                           {690, PATTERN_SQUARE}, {840, PATTERN_FLYING}};
  EXPECT_EQ(Changes, kChanges);
}

}  // namespace
