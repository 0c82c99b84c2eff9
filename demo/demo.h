// The Vantorama show: its state, shared by the main program and the effect routines,
// and the routines themselves. Everything is drawn through the door kit, so the caller
// and the sysop's console see the same frames.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Top scroller: the greeting that runs across rows 2 and 3.
extern const std::string_view TOP_SCROLL_MESSAGE;

// Centre text: its characters spiral out, march round a square, drift, and line up.
constexpr std::string_view MIDDLE_SCROLL_MESSAGE = "VANTORAMA 2025 ";
constexpr int32_t MAX_VISIBLE_CHARS = 40;
constexpr int32_t PATTERN_SPIRAL = 0;
constexpr int32_t PATTERN_SQUARE = 1;
constexpr int32_t PATTERN_FLYING = 2;

struct TSpiralChar {
  char Ch;
  int32_t X;      // column where it was last placed
  int32_t Y;      // row where it was last placed
  uint8_t Color;  // PC foreground colour, 9 to 14
  float Angle;    // degrees, 0 to below 360
  float Radius;   // columns from the centre
  bool Visible;   // drawn this frame, so erased on the next
};

// Melody: one note per row change of the scroller and per fifteenth frame.
struct TMelodyNote {
  const char *Note;
  const char *Octave;
  const char *Duration;
};
constexpr int32_t MELODY_LENGTH = 64;
extern const TMelodyNote MELODY[MELODY_LENGTH];

// The show's state; the main program gives it its start values (ResetDemoState).
extern int32_t TopScrollPos;
extern int32_t TopScrollY;
extern int32_t TopScrollJumpCount;
extern int32_t TickCount;
extern bool BackgroundLoaded;
extern bool ExitRequested;
extern int32_t CurrentMelodyIndex;
extern int32_t CurrentPattern;
extern int32_t PatternCycleCount;
extern int32_t LineUpCounter;
extern bool IsLinedUp;
extern bool UseAnsiMusic;
extern bool UseSixel;
extern std::string SpiralText;
extern std::vector<TSpiralChar> SpiralChars;
extern std::string CenteredText;

// The start values of the state above (the answers to the questions false).
void ResetDemoState();

// The show's random numbers: seeded from the clock once, then 0 to ARange - 1.
void DemoRandomize();
int32_t DemoRandom(int32_t ARange);

// Main program
bool AskUseAnsiMusic();
bool AskUseSixel();
bool CheckForExit();

// Top scroller
void UpdateTopScroll();

// Centre text
void InitializeSpiral();
void UpdateSpiral();
void CalculateSquarePosition(float Radius, float Position, int32_t &X, int32_t &Y);
void CalculateFlyingPosition(float Radius, float Position, int32_t &X, int32_t &Y);

// Backdrop and melody
void LoadBackground();
void PlayMelodyNote();
