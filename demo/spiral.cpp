// The centre text: the characters of "VANTORAMA 2025 " spiral out, march round a square
// or drift on an ellipse, and every 230 frames stand lined up as readable text.
//
// The arithmetic keeps to fixed precisions (32-bit floats for the angle and radius, 64-bit
// sine and cosine, round half to even) so that every build moves the characters alike.
#include <cmath>

#include "doorkit/console.h"
#include "demo.h"
#include "doorkit/door.h"

std::string SpiralText;
std::vector<TSpiralChar> SpiralChars;

namespace {

constexpr double PI = 3.141592653589793;
constexpr int32_t CENTER_X = 40 + 1;
constexpr int32_t CENTER_Y = 12;
constexpr float MAX_RADIUS = 13;
constexpr float RESTART_RADIUS = 12;
constexpr int32_t MIN_X = 1 + 11;
constexpr int32_t MAX_X = 1 + 78 - 6;
constexpr int32_t MIN_Y = 5;
constexpr int32_t MAX_Y = 18;
constexpr int32_t LINE_UP_EVERY = 200;
constexpr int32_t LINE_UP_FRAMES = 30;
constexpr int32_t PATTERN_FRAMES = 150;
constexpr int32_t NOTE_EVERY = 15;
constexpr int32_t LINE_UP_X = 40 - static_cast<int32_t>(MIDDLE_SCROLL_MESSAGE.size()) / 2 + 1;

// The processor's default rounding: nearest, exact halves to the even neighbour.
int32_t Round(double AValue) { return static_cast<int32_t>(std::nearbyint(AValue)); }

// 1.0 to 1.4: formed in double, kept as float.
float FreshRadius() { return static_cast<float>(DemoRandom(5) / 10.0 + 1.0); }

void Restart(TSpiralChar &AChar) {
  AChar.Radius = FreshRadius();
  AChar.X = CENTER_X;
  AChar.Y = CENTER_Y;
}

void Candidate(const TSpiralChar &AChar, int32_t &X, int32_t &Y) {
  switch (CurrentPattern) {
    case PATTERN_SQUARE:
      CalculateSquarePosition(AChar.Radius, AChar.Angle / 360.0f, X, Y);
      break;
    case PATTERN_FLYING:
      CalculateFlyingPosition(AChar.Radius, AChar.Angle / 360.0f, X, Y);
      break;
    default: {
      double A = static_cast<double>(AChar.Angle) * PI / 180.0;
      X = CENTER_X + Round(std::cos(A) * static_cast<double>(AChar.Radius));
      Y = CENTER_Y + Round(std::sin(A) * static_cast<double>(AChar.Radius) * 0.5);
      break;
    }
  }
}

void MoveAll() {
  int32_t LastX = -1;
  int32_t LastY = -1;
  for (TSpiralChar &C : SpiralChars) {
    C.Angle = C.Angle + 1.5f;
    if (C.Angle >= 360.0f) C.Angle = C.Angle - 360.0f;
    if (C.Radius < MAX_RADIUS) C.Radius = static_cast<float>(static_cast<double>(C.Radius) + 0.1);

    int32_t CX = 0;
    int32_t CY = 0;
    Candidate(C, CX, CY);
    bool Show;
    if (CX >= MIN_X && CX <= MAX_X && CY >= MIN_Y && CY <= MAX_Y) {
      C.X = CX;
      C.Y = CY;
      Show = true;
      if (C.Radius >= RESTART_RADIUS) {
        Restart(C);
        Show = false;
      }
    } else {
      // Off the allowed area (only the square's edges get there): keep growing unseen.
      Show = false;
      if (C.Radius >= RESTART_RADIUS) Restart(C);
    }
    // Two neighbours on one cell would flicker; the later one gives way, drawn or not.
    if (CX == LastX && CY == LastY) Show = false;
    LastX = CX;
    LastY = CY;
    C.Visible = Show;
  }
}

void LineUp() {
  const size_t N = MIDDLE_SCROLL_MESSAGE.size();
  for (size_t I = 0; I < SpiralChars.size(); ++I) {
    TSpiralChar &C = SpiralChars[I];
    if (I < N) {
      C.X = LINE_UP_X + static_cast<int32_t>(I);
      C.Y = CENTER_Y;
      C.Visible = true;
    } else {
      C.Visible = false;
    }
  }
}

}  // namespace

void InitializeSpiral() {
  SpiralText = MIDDLE_SCROLL_MESSAGE;
  while (SpiralText.size() < 100) SpiralText += MIDDLE_SCROLL_MESSAGE;
  SpiralChars.assign(SpiralText.size(), TSpiralChar{});
  for (size_t I = 0; I < SpiralChars.size(); ++I) {
    TSpiralChar &C = SpiralChars[I];
    C.Ch = SpiralText[I];
    // Angle before radius: the draws come in this order for every entry.
    C.Angle = static_cast<float>(DemoRandom(360));
    C.Radius = FreshRadius();
    C.Color = static_cast<uint8_t>(I % 6 + 9);
    C.Visible = static_cast<int32_t>(I) < MAX_VISIBLE_CHARS;
    C.X = CENTER_X;
    C.Y = CENTER_Y;
  }
  Delay(100);
}

void UpdateSpiral() {
  // The backdrop is never redrawn: erasing leaves blanks where a character passed.
  if (BackgroundLoaded) {
    for (const TSpiralChar &C : SpiralChars) {
      if (!C.Visible) continue;
      DoorGotoXY(static_cast<uint8_t>(C.X), static_cast<uint8_t>(C.Y));
      DoorTextBackground(0);
      DoorWrite(" ");
    }
  }

  ++LineUpCounter;
  if (LineUpCounter >= LINE_UP_EVERY && !IsLinedUp) {
    IsLinedUp = true;
    LineUpCounter = 0;
  } else if (IsLinedUp && LineUpCounter >= LINE_UP_FRAMES) {
    IsLinedUp = false;
    LineUpCounter = 0;
  }

  if (!IsLinedUp && ++PatternCycleCount >= PATTERN_FRAMES) {
    CurrentPattern = (CurrentPattern + 1) % 3;
    PatternCycleCount = 0;
  }

  if (IsLinedUp)
    LineUp();
  else
    MoveAll();

  for (const TSpiralChar &C : SpiralChars) {
    if (!C.Visible) continue;
    DoorTextBackground(0);
    DoorTextColour(C.Color);
    DoorGotoXY(static_cast<uint8_t>(C.X), static_cast<uint8_t>(C.Y));
    DoorWrite(std::string_view(&C.Ch, 1));
  }

  ++TickCount;
  if (TickCount % NOTE_EVERY == 0 && UseAnsiMusic) PlayMelodyNote();
}

void CalculateSquarePosition(float Radius, float Position, int32_t &X, int32_t &Y) {
  const int32_t R = Round(Radius);
  const float RelPos = static_cast<float>(static_cast<double>(Position) - std::trunc(static_cast<double>(Position)));
  const float S = 4.0f * Radius;
  // Clockwise from the top-left corner, one edge per quarter of the way round.
  if (RelPos < 0.25f) {
    X = CENTER_X - R + Round(S * RelPos);
    Y = CENTER_Y - R;
  } else if (RelPos < 0.5f) {
    X = CENTER_X + R;
    Y = CENTER_Y - R + Round((RelPos - 0.25f) * S);
  } else if (RelPos < 0.75f) {
    X = CENTER_X + R - Round((RelPos - 0.5f) * S);
    Y = CENTER_Y + R;
  } else {
    X = CENTER_X - R;
    Y = CENTER_Y + R - Round((RelPos - 0.75f) * S);
  }
}

void CalculateFlyingPosition(float Radius, float Position, int32_t &X, int32_t &Y) {
  const double T = static_cast<double>(Position + Position) * PI;
  const int32_t OrigX = CENTER_X + Round(std::cos(T) * static_cast<double>(Radius));
  const int32_t OrigY = CENTER_Y + Round(std::sin(T) * static_cast<double>(Radius) * 0.5);
  // Beyond radius 10 the ellipse drifts left, 3 columns per unit.
  X = (Radius > 10.0f) ? OrigX - Round((Radius - 10.0f) * 3.0f) : OrigX;
  Y = OrigY;
}
