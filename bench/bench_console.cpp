// The local console's cost per animation frame as the sysop's terminal gets it: a coloured
// scroll line and a few dozen moving characters written through ConsoleWrite, then one
// render of what changed (UTF-8). Reports frames per second and bytes sent per frame.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_support.h"

namespace {

void DrawFrame(int AFrame) {
  // The scroller: 66 characters in changing colours on row 3.
  const std::string Text = "  Welcome to the board \xfe greetings to every caller \xfe \x0e music \x0e  ";
  GotoXY(7, 3);
  for (int Run = 0; Run < 6; Run++) {
    TextAttr = static_cast<uint8_t>(9 + (AFrame + Run) % 7);
    ConsoleWrite(std::string_view(Text).substr((Run * 11 + AFrame) % (Text.size() - 11), 11));
  }
  // The centre text: 40 characters that move each frame; the old places are blanked.
  for (int I = 0; I < 40; I++) {
    const int Old = AFrame - 1 + I * 7, New = AFrame + I * 7;
    GotoXY(static_cast<uint8_t>(10 + Old % 60), static_cast<uint8_t>(6 + (Old / 3) % 16));
    ConsoleWrite(" ");
    GotoXY(static_cast<uint8_t>(10 + New % 60), static_cast<uint8_t>(6 + (New / 3) % 16));
    TextAttr = static_cast<uint8_t>(1 + I % 15);
    ConsoleWrite(std::string(1, static_cast<char>('A' + I % 26)));
  }
}

void BM_ConsoleFrame(benchmark::State &AState) {
  BenchMemoryTerminal();
  Window(1, 1, 80, 24);
  ConsoleFlush();
  ConsoleTakeOutput();
  int Frame = 0;
  size_t Bytes = 0;
  for (auto _ : AState) {
    DrawFrame(++Frame);
    ConsoleFlush();
    Bytes += ConsoleTakeOutput().size();
  }
  AState.counters["frames/s"] = benchmark::Counter(static_cast<double>(Frame), benchmark::Counter::kIsRate);
  AState.counters["bytes/frame"] = static_cast<double>(Bytes) / Frame;
  ConsoleReset();
}
BENCHMARK(BM_ConsoleFrame);

// A full redraw of a busy screen, as after a resize.
void BM_ConsoleFullRedraw(benchmark::State &AState) {
  BenchMemoryTerminal();
  for (int Y = 1; Y <= 25; Y++)
    for (int X = 1; X <= 80; X += 10) {
      TextAttr = static_cast<uint8_t>(X + Y);
      GotoXY(static_cast<uint8_t>(X), static_cast<uint8_t>(Y));
      // Short of the last cell, so the full window does not scroll.
      ConsoleWrite(std::string_view("\xb0\xb1\xb2\xdb\xc4\xcd\xb3\xba\xfe\x0e", Y == 25 && X == 71 ? 9 : 10));
    }
  size_t Bytes = 0;
  for (auto _ : AState) {
    ConsoleSetTestTerminal(80, 25, true);
    ConsoleFlush();
    Bytes += ConsoleTakeOutput().size();
  }
  AState.counters["bytes/redraw"] = static_cast<double>(Bytes) / static_cast<double>(AState.iterations());
  ConsoleReset();
}
BENCHMARK(BM_ConsoleFullRedraw);

}  // namespace

BENCHMARK_MAIN();
