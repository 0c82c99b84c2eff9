// The bytes the local drawing sends to the sysop's terminal per frame of the show, beside
// ncurses drawing the very same frames. The show runs inside this program (link mode on a
// socketpair, the frame's sleep left out) for 600 frames; after each one the console's
// output is counted and its 80x25 cells are recorded. The recorded frames are then drawn
// with ncurses (newterm on a memory file, xterm-256color, UTF-8, the same colours and
// code page 437 glyphs), every cell handed over each frame and ncurses left to find what
// changed. The goal: no more bytes than ncurses.
#include <benchmark/benchmark.h>

#include <curses.h>
#include <iconv.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

constexpr int FRAMES = 600;
constexpr int PC_TO_ANSI[8] = {0, 4, 2, 6, 1, 5, 3, 7};

struct TFrame {
  TConsoleCell Cells[CONSOLE_ROWS][CONSOLE_COLS];
  int CursorX, CursorY;
  bool CursorVisible;
};

// The show's frames as the sysop's screen holds them, and what our console sent for each.
struct TRecording {
  std::vector<TFrame> Frames;
  std::vector<size_t> Bytes;
};

TFrame Snapshot() {
  TFrame F{};
  for (int Y = 0; Y < CONSOLE_ROWS; ++Y)
    for (int X = 0; X < CONSOLE_COLS; ++X) F.Cells[Y][X] = ConsoleCell(X + 1, Y + 1);
  F.CursorX = ConsoleCursorX();
  F.CursorY = ConsoleCursorY();
  F.CursorVisible = ConsoleCursorVisible();
  return F;
}

TRecording Record() {
  TRecording R;
  TBenchShow Show;
  if (!BenchShowStart(Show, true)) return R;
  R.Bytes.push_back(Show.BackdropBytes);  // the backdrop: a first full screen
  R.Frames.push_back(Snapshot());
  for (int I = 0; I < FRAMES; ++I) {
    R.Bytes.push_back(BenchShowFrame());
    R.Frames.push_back(Snapshot());
  }
  BenchShowFinish(Show);
  return R;
}

// Code page 437 to Unicode, as the console shows it; control bytes, which the show never
// draws as glyphs, as a question mark.
wchar_t Cp437(uint8_t ACh) {
  if (ACh < 0x20 || ACh == 0x7F) return L'?';
  if (ACh < 0x80) return static_cast<wchar_t>(ACh);
  static wchar_t Table[128] = {};
  if (!Table[0]) {
    iconv_t C = iconv_open("WCHAR_T", "IBM437");
    for (int I = 0; I < 128; ++I) {
      char In = static_cast<char>(0x80 + I);
      wchar_t Out = L'?';
      char *InP = &In, *OutP = reinterpret_cast<char *>(&Out);
      size_t InLeft = 1, OutLeft = sizeof Out;
      if (C != reinterpret_cast<iconv_t>(-1)) iconv(C, &InP, &InLeft, &OutP, &OutLeft);
      Table[I] = Out;
    }
    if (C != reinterpret_cast<iconv_t>(-1)) iconv_close(C);
  }
  return Table[ACh - 0x80];
}

// Bytes ncurses writes for each recorded frame.
std::vector<size_t> DrawWithNcurses(const TRecording &ARec) {
  std::vector<size_t> Bytes;
  setlocale(LC_ALL, "C.UTF-8");
  // ncurses writes to the stream's descriptor itself: a memory file, whose size tells the bytes.
  const int Fd = memfd_create("ncurses-out", 0);
  FILE *Out = Fd >= 0 ? fdopen(Fd, "w") : nullptr;
  FILE *In = fopen("/dev/null", "r");
  if (!Out || !In) return Bytes;
  auto Written = [&] {
    fflush(Out);
    struct stat St{};
    fstat(Fd, &St);
    return static_cast<size_t>(St.st_size);
  };
  SCREEN *S = newterm("xterm-256color", Out, In);
  if (!S) return Bytes;
  set_term(S);
  start_color();
  for (int Fg = 0; Fg < 16; ++Fg)
    for (int Bg = 0; Bg < 8; ++Bg)
      init_pair(static_cast<short>(1 + Fg * 8 + Bg), static_cast<short>((Fg & 8) + PC_TO_ANSI[Fg & 7]),
                static_cast<short>(PC_TO_ANSI[Bg]));
  size_t Before = Written();
  for (const TFrame &F : ARec.Frames) {
    for (int Y = 0; Y < CONSOLE_ROWS; ++Y) {
      for (int X = 0; X < CONSOLE_COLS; ++X) {
        const TConsoleCell C = F.Cells[Y][X];
        const wchar_t W[2] = {Cp437(C.Ch), 0};
        cchar_t CC;
        const short Pair = static_cast<short>(1 + (C.Attr & 0x0F) * 8 + ((C.Attr >> 4) & 7));
        setcchar(&CC, W, (C.Attr & 0x80) ? A_BLINK : A_NORMAL, Pair, nullptr);
        mvadd_wch(Y, X, &CC);
      }
    }
    curs_set(F.CursorVisible ? 1 : 0);
    move(F.CursorY - 1, F.CursorX - 1);
    refresh();
    const size_t Now = Written();
    Bytes.push_back(Now - Before);
    Before = Now;
  }
  endwin();
  delscreen(S);
  fclose(Out);
  fclose(In);
  return Bytes;
}

void BM_LocalBytesPerFrame(benchmark::State &AState) {
  for (auto _ : AState) {
    const TRecording Rec = Record();
    if (Rec.Frames.size() < 2) {
      AState.SkipWithError("the show did not run");
      return;
    }
    const std::vector<size_t> Curses = DrawWithNcurses(Rec);
    if (Curses.size() != Rec.Bytes.size()) {
      AState.SkipWithError("ncurses could not draw on xterm-256color");
      return;
    }
    size_t Ours = 0, Theirs = 0, OursMax = 0, TheirsMax = 0;
    for (size_t I = 1; I < Rec.Bytes.size(); ++I) {  // the frames after the first full screen
      Ours += Rec.Bytes[I];
      Theirs += Curses[I];
      OursMax = std::max(OursMax, Rec.Bytes[I]);
      TheirsMax = std::max(TheirsMax, Curses[I]);
    }
    const double N = static_cast<double>(Rec.Bytes.size() - 1);
    AState.counters["console_bytes_per_frame"] = static_cast<double>(Ours) / N;
    AState.counters["ncurses_bytes_per_frame"] = static_cast<double>(Theirs) / N;
    AState.counters["console_first_screen"] = static_cast<double>(Rec.Bytes[0]);
    AState.counters["ncurses_first_screen"] = static_cast<double>(Curses[0]);
    std::printf("%d frames: console %.1f bytes a frame (most %zu), ncurses %.1f (most %zu); "
                "first full screen %zu against %zu\n",
                FRAMES, static_cast<double>(Ours) / N, OursMax, static_cast<double>(Theirs) / N, TheirsMax,
                Rec.Bytes[0], Curses[0]);
  }
}
BENCHMARK(BM_LocalBytesPerFrame)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
