// The clock, the event pump and the handlers it calls by default.
#include <chrono>
#include <climits>
#include <cmath>
#include <ctime>

#include "doorkit/console.h"
#include "doorkit/crt2.h"
#include "doorkit/door.h"
#include "door_internal.h"
#include "door_private.h"
#include "doorkit/stringutils.h"
#include "doorkit/videoutils.h"

namespace {

constexpr double DAYS_1899_TO_1970 = 25569.0;
constexpr double SECONDS_PER_DAY = 86400.0;

struct ClockState {
  TDateTime (*Clock)() = nullptr;
};
ClockState gClock;

struct Anchor {
  TDateTime Days;
  std::chrono::steady_clock::time_point Mono;
};

// Local wall-clock time, read once and then carried forward by the steady clock: the sysop
// setting the clock back, or a change to or from summer time, neither hands the caller extra
// time nor throws them out as idle.
TDateTime WallClockNow() {
  static const Anchor anchor = [] {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm local{};
    time_t secs = ts.tv_sec;
    localtime_r(&secs, &local);
    double localSecs = static_cast<double>(ts.tv_sec) + static_cast<double>(local.tm_gmtoff) +
                       static_cast<double>(ts.tv_nsec) / 1e9;
    return Anchor{localSecs / SECONDS_PER_DAY + DAYS_1899_TO_1970, std::chrono::steady_clock::now()};
  }();
  std::chrono::duration<double> run = std::chrono::steady_clock::now() - anchor.Mono;
  return anchor.Days + run.count() / SECONDS_PER_DAY;
}

int32_t ToInt32(int64_t AValue) {
  if (AValue > INT32_MAX) return INT32_MAX;
  if (AValue < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(AValue);
}

// A warning comes a second past each of the last five whole minutes (301, 241, ... 61 s
// before the limit). Not at the last second: a warning of 0 minutes tells a caller nothing,
// and under a limit of less than a minute it would be the only one.
bool WarnNow(int64_t ASecondsLeft) {
  return ASecondsLeft % 60 == 1 && ASecondsLeft / 60 >= 1 && ASecondsLeft / 60 <= 5;
}

void PumpPass() {
  using namespace door_private;
  if (DoorOnHangup && !DoorCarrier()) DoorOnHangup();

  if (DoorSession.DoIdleCheck) {
    if (DoorOnTimeOut && DoorSecondsIdle() > DoorSession.MaxIdle) DoorOnTimeOut();
    int64_t r = static_cast<int64_t>(DoorSession.MaxIdle) - DoorSecondsIdle();
    if (WarnNow(r) && DoorOnTimeOutWarning) DoorOnTimeOutWarning(static_cast<uint8_t>(r / 60));
  }

  if (DoorOnTimeUp && DoorSecondsLeft() <= 0) DoorOnTimeUp();
  int32_t left = DoorSecondsLeft();
  if (WarnNow(left) && DoorOnTimeUpWarning) DoorOnTimeUpWarning(static_cast<uint8_t>(left / 60));

  if (DoorOnStatusBar && !g.Stdio) DoorOnStatusBar();
}

}  // namespace

namespace door_private {

TDateTime Now() { return gClock.Clock ? gClock.Clock() : WallClockNow(); }

int64_t SecondsBetween(TDateTime AFrom, TDateTime ATo) {
  double days = ATo - AFrom;
  if (!(days > 0)) return 0;  // NaN too
  if (days >= INT32_MAX / SECONDS_PER_DAY) return INT32_MAX;
  // Whole milliseconds first, so 301 s held as a day fraction does not read as 300.
  return std::llround(days * SECONDS_PER_DAY * 1000.0) / 1000;
}

void ResetClock() { gClock = ClockState{}; }

void DoorDoEvents() {
  if (!DoorSession.Events) return;
  if (SecondsBetween(DoorSession.EventsTime, Now()) < 1) return;
  // Stamped before the handlers too: one that waits for a key runs the pump again, and that
  // nested pass must not repeat this one's calls at once.
  DoorSession.EventsTime = Now();
  PumpPass();
  DoorSession.EventsTime = Now();
}

void DefaultOnHangup() {
  // The caller is gone: only the sysop is told.
  SetTextAttr(0x0F);
  ClrScr();
  ConsoleWrite("\r\n   Caller Dropped Carrier.  Returning To BBS...\r\n");
  EndProgram(true);
}

void DefaultOnTimeOut() {
  DoorTextAttr(0x0F);
  DoorClrScr();
  DoorWriteLn();
  DoorWriteLn("  Idle Time Limit Exceeded.  Returning To BBS...");
  EndProgram(true);
}

void DefaultOnTimeUp() {
  DoorTextAttr(0x0F);
  DoorClrScr();
  DoorWriteLn();
  DoorWriteLn("  Your Time Has Expired.  Returning To BBS...");
  EndProgram(true);
}

void DefaultOnStatusBar() {
  std::string bar(80, ' ');
  for (int col : {1, 29, 49, 63, 80}) bar[col - 1] = '\xFE';
  FastWrite(bar, 1, 25, 0x1E);

  std::string name = DoorDropInfo.RealName;
  if (name.size() < 22) name.resize(22, ' ');
  FastWrite(name, 3, 25, 0x1F);
  FastWrite(DoorProgramNameAndVersion, 31, 25, 0x1F);

  std::string idle = "Idle: " + SecToMS(DoorSecondsIdle());
  if (idle.size() < 11) idle.resize(11, ' ');
  FastWrite(idle, 51, 25, 0x1F);
  FastWrite("Left: " + SecToHMS(DoorSecondsLeft()), 65, 25, 0x1F);
}

}  // namespace door_private

int32_t DoorSecondsIdle() {
  return ToInt32(door_private::SecondsBetween(DoorLastKey.Time, door_private::Now()));
}

int32_t DoorSecondsLeft() {
  int64_t used = door_private::SecondsBetween(DoorSession.TimeOn, door_private::Now());
  return ToInt32(static_cast<int64_t>(DoorDropInfo.MaxSeconds) - used);
}

void DoorSetClock(TDateTime (*AClock)()) { gClock.Clock = AClock; }
