// The show's shared state, its random numbers, the two questions and the exit-key test.
#include <chrono>

#include "doorkit/console.h"
#include "demo.h"
#include "demo_internal.h"
#include "doorkit/door.h"

int32_t TopScrollPos = 1;
int32_t TopScrollY = 2;
int32_t TopScrollJumpCount = 0;
int32_t TickCount = 0;
bool BackgroundLoaded = false;
bool ExitRequested = false;
int32_t CurrentMelodyIndex = 0;
int32_t CurrentPattern = PATTERN_SPIRAL;
int32_t PatternCycleCount = 0;
int32_t LineUpCounter = 0;
bool IsLinedUp = false;
bool UseAnsiMusic = false;
bool UseSixel = false;

namespace {

struct State {
  uint64_t FRandState = 0x9E3779B97F4A7C15ull;
};
State g;

// splitmix64: small, fast and uniform enough for moving characters about.
uint64_t NextRandom() {
  uint64_t z = (g.FRandState += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

char UpCase(char ACh) { return (ACh >= 'a' && ACh <= 'z') ? static_cast<char>(ACh - 'a' + 'A') : ACh; }

// Waits for Y or N from either keyboard; anything else is dropped without echo.
char ReadYesNo() {
  for (;;) {
    char Ch = UpCase(DoorReadKey());
    if (Ch == 'Y' || Ch == 'N') return Ch;
  }
}

}  // namespace

void ResetDemoState() {
  TopScrollPos = 1;
  TopScrollY = 2;
  TopScrollJumpCount = 0;
  TickCount = 0;
  BackgroundLoaded = false;
  ExitRequested = false;
  CurrentMelodyIndex = 0;
  CurrentPattern = PATTERN_SPIRAL;
  PatternCycleCount = 0;
  LineUpCounter = 0;
  IsLinedUp = false;
  UseAnsiMusic = false;
  UseSixel = false;
}

void DemoRandSeed(uint64_t ASeed) { g.FRandState = ASeed; }

void DemoRandomize() {
  auto Now = std::chrono::system_clock::now().time_since_epoch();
  DemoRandSeed(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Now).count()));
}

int32_t DemoRandom(int32_t ARange) {
  if (ARange <= 0) return 0;
  // Multiply-shift maps 64 random bits onto 0..ARange-1 without a division.
  return static_cast<int32_t>((static_cast<unsigned __int128>(NextRandom()) * static_cast<uint32_t>(ARange)) >> 64);
}

bool AskUseAnsiMusic() {
  DoorClrScr();
  DoorTextBackground(0);
  DoorTextAttr(15);
  DoorGotoXY(10, 6);
  DoorWrite("If you answer yes to either of the following questions and see");
  DoorGotoXY(10, 7);
  DoorWrite("garbage on the screen, your terminal is not capable. Try again");
  DoorGotoXY(10, 8);
  DoorWrite("and answer no.");
  DoorGotoXY(10, 10);
  DoorWrite("Would you like to enable ANSI Music for this demo? (Y/N): ");
  char Answer = ReadYesNo();
  DoorWriteLn(std::string(1, Answer));
  DoorWriteLn();
  Delay(500);
  return Answer == 'Y';
}

bool AskUseSixel() {
  DoorTextBackground(0);
  DoorTextAttr(15);
  DoorGotoXY(10, 12);
  DoorWrite("Would you like to enable Sixel graphics? (Y/N): ");
  char Answer = ReadYesNo();
  DoorWriteLn(std::string(1, Answer));
  DoorWriteLn();
  DoorWriteLn("Loading demo...");
  Delay(500);
  return Answer == 'Y';
}

bool CheckForExit() {
  if (!DoorKeyPressed()) return false;
  // Only the character counts, so an extended key whose scan code is 27, 'Q' or 'q' ends it
  // too: PgDn (DOOR_KEY_PGDN is 'Q') leaves the show.
  char Ch = DoorReadKey();
  return Ch == 27 || UpCase(Ch) == 'Q';
}
