// The event pump: once a second, carrier, idle and time limits, warnings, the status bar.
#include "test_door_fixture.h"

using namespace doortest;

namespace {

// What the hooks saw, in order: "hangup", "timeout", "timeup", "idle-warn N", "time-warn N", "bar".
std::vector<std::string> gEvents;
void OnHangup() { gEvents.push_back("hangup"); }
void OnTimeOut() { gEvents.push_back("timeout"); }
void OnTimeUp() { gEvents.push_back("timeup"); }
void OnBar() { gEvents.push_back("bar"); }
void OnIdleWarning(uint8_t AMinutes) { gEvents.push_back("idle-warn " + std::to_string(AMinutes)); }
void OnTimeWarning(uint8_t AMinutes) { gEvents.push_back("time-warn " + std::to_string(AMinutes)); }

class DoorEventsTest : public DoorTest {
 protected:
  void SetUp() override {
    DoorTest::SetUp();
    gEvents.clear();
  }
  void RecordEverything() {
    DoorOnHangup = OnHangup;
    DoorOnTimeOut = OnTimeOut;
    DoorOnTimeUp = OnTimeUp;
    DoorOnTimeOutWarning = OnIdleWarning;
    DoorOnTimeUpWarning = OnTimeWarning;
    DoorOnStatusBar = OnBar;
  }
  // One poll at each whole second from AFrom to ATo of the session; the events without
  // the status bar's.
  std::vector<std::string> PollSeconds(int AFrom, int ATo) {
    std::vector<std::string> seen;
    for (int s = AFrom; s <= ATo; s++) {
      gEvents.clear();
      SetMs(static_cast<uint64_t>(s) * 1000);
      DoorKeyPressed();
      for (const std::string &e : gEvents)
        if (e != "bar") seen.push_back(std::to_string(s) + ": " + e);
    }
    return seen;
  }
};

TEST_F(DoorEventsTest, OnePassPerSecondFromTheFirstPoll) {
  StartLink();
  RecordEverything();
  DoorKeyPressed();  // acts at once after start-up
  EXPECT_EQ(gEvents, std::vector<std::string>{"bar"});
  for (int i = 0; i < 50; i++) {
    SetMs(999);
    DoorKeyPressed();
  }
  EXPECT_EQ(gEvents.size(), 1u) << "polls within the same second make one pass";
  SetMs(1000);
  DoorKeyPressed();
  DoorKeyPressed();
  EXPECT_EQ(gEvents.size(), 2u);
}

TEST_F(DoorEventsTest, IdleLimitAndWarnings) {
  StartLink();
  RecordEverything();
  DoorSession.MaxIdle = 360;  // so that the five-minute warning has a second to fire in
  const std::vector<std::string> kSeen = {
      "59: idle-warn 5",  "119: idle-warn 4", "179: idle-warn 3", "239: idle-warn 2",
      "299: idle-warn 1", "361: timeout",     "362: timeout",
  };
  EXPECT_EQ(PollSeconds(0, 362), kSeen);

  // Under a minute there is no whole minute to warn of: no warning at all, not one of 0.
  DoorClose(false);
  Net.Door = -1;
  NetClose(Net.Peer);
  ResetModules();
  gEvents.clear();
  StartLink();
  RecordEverything();
  DoorSession.MaxIdle = 30;
  EXPECT_EQ(PollSeconds(0, 32), (std::vector<std::string>{"31: timeout", "32: timeout"}));

  // With the default limit: 300 s idle is still fine, 301 s is not.
  DoorClose(false);
  Net.Door = -1;
  NetClose(Net.Peer);
  ResetModules();
  gEvents.clear();
  StartLink();
  RecordEverything();
  DoorOnTimeOutWarning = nullptr;
  EXPECT_EQ(PollSeconds(300, 301), std::vector<std::string>{"301: timeout"});

  // A key restarts the count.
  Send("k");
  EXPECT_EQ(DoorReadKey(), 'k');
  EXPECT_EQ(DoorSecondsIdle(), 0);
}

TEST_F(DoorEventsTest, TimeLimitAndWarningsWithoutIdleCheck) {
  StartLink();
  RecordEverything();
  DoorSession.DoIdleCheck = false;
  const std::vector<std::string> kSeen = {
      "3299: time-warn 5", "3359: time-warn 4", "3419: time-warn 3", "3479: time-warn 2",
      "3539: time-warn 1", "3600: timeup",      "3601: timeup",
  };
  EXPECT_EQ(PollSeconds(3200, 3601), kSeen);
  EXPECT_EQ(DoorSecondsLeft(), -1);
}

TEST_F(DoorEventsTest, NoTimeGivenEndsAtTheFirstPass) {
  StartLink();
  RecordEverything();
  DoorDropInfo.MaxSeconds = 0;
  DoorKeyPressed();
  EXPECT_EQ(gEvents, (std::vector<std::string>{"timeup", "bar"}));
}

TEST_F(DoorEventsTest, CallerHangingUp) {
  StartLink();
  RecordEverything();
  DoorKeyPressed();
  NetClose(Net.Peer);
  AdvanceSeconds(1);
  gEvents.clear();
  EXPECT_FALSE(DoorKeyPressed());  // this poll finds the closed connection
  AdvanceSeconds(1);
  DoorKeyPressed();
  EXPECT_EQ(gEvents, (std::vector<std::string>{"bar", "hangup", "bar"}));
}

TEST_F(DoorEventsTest, LocalSessionHasNoPump) {
  StartStdio();
  RecordEverything();
  DoorDropInfo.MaxSeconds = 0;
  for (int s : {0, 1, 301, 100000}) {
    SetMs(static_cast<uint64_t>(s) * 1000);
    DoorKeyPressed();
  }
  EXPECT_TRUE(gEvents.empty());
  EXPECT_EQ(RowTrimmed(25), "");
}

TEST_F(DoorEventsTest, ClockGoingBackGivesNoNegativeTimes) {
  StartLink();
  SetMs(5000);
  DoorLastKey.Time = DoorSession.TimeOn = FakeNow();
  SetMs(1000);
  EXPECT_EQ(DoorSecondsIdle(), 0);
  EXPECT_EQ(DoorSecondsLeft(), 3600);
  // A fraction of a second below a whole one is truncated, and 301 s comes out as 301.
  SetMs(5000 + 301000);
  EXPECT_EQ(DoorSecondsIdle(), 301);
  SetMs(5000 + 1999);
  EXPECT_EQ(DoorSecondsIdle(), 1);
}

TEST_F(DoorEventsTest, StatusBarCells) {
  StartLink();
  DoorDropInfo.RealName = "Jane Caller";
  const int x = ConsoleCursorX(), y = ConsoleCursorY();
  SetMs(65000);
  DoorKeyPressed();
  const std::string kRow =
      "\xFE Jane Caller               \xFE Zarvex v13.09.02  \xFE Idle: 01:05 \xFE Left: 00:58:55 \xFE";
  ASSERT_EQ(kRow.size(), 80u);
  EXPECT_EQ(Row(25), kRow);
  struct {
    int Col;
    uint8_t Attr;
  } kAttrs[] = {{1, 0x1E}, {2, 0x1E}, {3, 0x1F}, {24, 0x1F}, {25, 0x1E}, {29, 0x1E}, {31, 0x1F},
                {46, 0x1F}, {47, 0x1E}, {51, 0x1F}, {61, 0x1F}, {62, 0x1E}, {65, 0x1F}, {78, 0x1F},
                {79, 0x1E}, {80, 0x1E}};
  for (const auto &a : kAttrs) EXPECT_EQ(ConsoleCell(a.Col, 25).Attr, a.Attr) << "column " << a.Col;
  EXPECT_EQ(ConsoleCursorX(), x) << "the bar does not move the cursor";
  EXPECT_EQ(ConsoleCursorY(), y);
  EXPECT_EQ(Caller(), "") << "the bar is the sysop's alone";

  // A long name runs over the separator; the program name covers the rest of it.
  DoorDropInfo.RealName = "Bartholomew Fitzgerald-Smythe!";
  ASSERT_EQ(DoorDropInfo.RealName.size(), 30u);
  AdvanceSeconds(1);
  DoorKeyPressed();
  EXPECT_EQ(Row(25).substr(0, 48), "\xFE Bartholomew Fitzgerald-SmythZarvex v13.09.02  ");

  // Text written in the window never reaches row 25.
  for (int i = 0; i < 30; i++) DoorWriteLn("line " + std::to_string(i));
  EXPECT_EQ(Row(25).substr(0, 3), "\xFE B");
  EXPECT_EQ(RowTrimmed(24), "");
  EXPECT_EQ(RowTrimmed(23), "line 29");
}

}  // namespace
