// How fast the local interpreter paints what the door sends, beside libvterm parsing the
// same bytes into its own 25x80 screen. The stream is built like a door's animation: each
// frame a scroll line in changing colours, then a spiral of single coloured characters,
// each placed with its own cursor move, the old ones blanked first.
#include <benchmark/benchmark.h>
#include <vterm.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "doorkit/ansi.h"
#include "ansi_internal.h"
#include "console_internal.h"
#include "crt2_internal.h"

namespace {

constexpr size_t STREAM_BYTES = 4 << 20;
// The block a terminal reads from the socket at once; libvterm also cannot take megabytes
// in one call (it overflows its stack).
constexpr size_t READ_BLOCK = 4096;

struct TStream {
  std::vector<std::string> Pieces;  // one entry per door write
  std::string Whole;                // the same bytes in one piece
};

TStream BuildStream() {
  TStream s;
  uint32_t seed = 1;
  auto next = [&seed](uint32_t AMod) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % AMod;
  };
  auto add = [&s](std::string APiece) {
    s.Whole += APiece;
    s.Pieces.push_back(std::move(APiece));
  };
  const std::string greeting =
      "Welcome to the board, caller! \xB0\xB1\xB2\xDB Press ESC or Q to leave the show. \xC4\xCD\xC4";
  int frame = 0;
  std::vector<std::pair<uint8_t, uint8_t>> spiral(24, {40, 12});
  while (s.Whole.size() < STREAM_BYTES) {
    // Top scroller: the other row blanked, then 66 characters in a new colour.
    add(AnsiGotoXY(7, frame % 2 ? 2 : 3));
    add(std::string(66, ' '));
    add(AnsiGotoXY(7, frame % 2 ? 3 : 2));
    add(AnsiTextColour(static_cast<uint8_t>(9 + frame % 7)));
    std::string line;
    for (int i = 0; i < 66; i++) line += greeting[(frame + i) % greeting.size()];
    add(line);
    // Centre text: each character blanked where it was and drawn where it goes.
    for (auto &p : spiral) {
      add(AnsiGotoXY(p.first, p.second));
      add(" ");
      p = {static_cast<uint8_t>(10 + next(60)), static_cast<uint8_t>(6 + next(15))};
      add(AnsiGotoXY(p.first, p.second));
      add(AnsiTextAttr(static_cast<uint8_t>(next(16) | (next(8) << 4))));
      add(std::string(1, static_cast<char>('A' + next(26))));
    }
    // Now and then a prompt line: a colour, a clear to the end, a few moves.
    if (frame % 8 == 0) {
      add(AnsiGotoXY(1, 23) + AnsiTextAttr(0x1F) + "\x1b[K");
      add("Time left: 00:42:17  Idle: 00:03");
      add(AnsiCursorLeft(5) + AnsiCursorDown(1) + AnsiBlink(false) + "\r\n");
    }
    frame++;
  }
  return s;
}

const TStream &Stream() {
  static const TStream s = BuildStream();
  return s;
}

void ResetLocal() {
  ConsoleReset();
  Crt2Reset();
  AnsiReset();
}

struct TVterm {
  VTerm *Vt;
};

TVterm OpenVterm() {
  TVterm t{vterm_new(25, 80)};
  vterm_set_utf8(t.Vt, 0);
  VTermScreen *screen = vterm_obtain_screen(t.Vt);
  vterm_screen_reset(screen, 1);
  return t;
}

void BM_AnsiWritePieces(benchmark::State &AState) {
  const TStream &s = Stream();
  ResetLocal();
  for (auto _ : AState) {
    for (const auto &p : s.Pieces) AnsiWrite(p);
    benchmark::ClobberMemory();
  }
  AState.SetBytesProcessed(static_cast<int64_t>(AState.iterations() * s.Whole.size()));
}

void BM_VtermPieces(benchmark::State &AState) {
  const TStream &s = Stream();
  TVterm t = OpenVterm();
  for (auto _ : AState) {
    for (const auto &p : s.Pieces) vterm_input_write(t.Vt, p.data(), p.size());
    benchmark::ClobberMemory();
  }
  AState.SetBytesProcessed(static_cast<int64_t>(AState.iterations() * s.Whole.size()));
  vterm_free(t.Vt);
}

void BM_AnsiWriteBlocks(benchmark::State &AState) {
  const TStream &s = Stream();
  const std::string_view whole = s.Whole;
  ResetLocal();
  for (auto _ : AState) {
    for (size_t i = 0; i < whole.size(); i += READ_BLOCK) AnsiWrite(whole.substr(i, READ_BLOCK));
    benchmark::ClobberMemory();
  }
  AState.SetBytesProcessed(static_cast<int64_t>(AState.iterations() * s.Whole.size()));
}

void BM_VtermBlocks(benchmark::State &AState) {
  const TStream &s = Stream();
  const std::string_view whole = s.Whole;
  TVterm t = OpenVterm();
  for (auto _ : AState) {
    for (size_t i = 0; i < whole.size(); i += READ_BLOCK) {
      const std::string_view block = whole.substr(i, READ_BLOCK);
      vterm_input_write(t.Vt, block.data(), block.size());
    }
    benchmark::ClobberMemory();
  }
  AState.SetBytesProcessed(static_cast<int64_t>(AState.iterations() * s.Whole.size()));
  vterm_free(t.Vt);
}

BENCHMARK(BM_AnsiWritePieces)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VtermPieces)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnsiWriteBlocks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VtermBlocks)->Unit(benchmark::kMillisecond);

// Keeps each run's throughput for the closing comparison.
struct TRatioReporter : benchmark::ConsoleReporter {
  std::vector<std::pair<std::string, double>> Rates;  // name, bytes per second

  explicit TRatioReporter(bool AColour)
      : ConsoleReporter(AColour ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run> &ARuns) override {
    for (const auto &r : ARuns) {
      const auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) Rates.emplace_back(r.benchmark_name(), it->second.value);
    }
    ConsoleReporter::ReportRuns(ARuns);
  }

  double Rate(const std::string &AName) const {
    for (const auto &[name, rate] : Rates)
      if (name.starts_with(AName)) return rate;
    return 0;
  }
};

void PrintRatio(const TRatioReporter &AReporter, const char *AWhat, const char *AOurs,
                const char *ATheirs) {
  const double ours = AReporter.Rate(AOurs) / 1e6;
  const double theirs = AReporter.Rate(ATheirs) / 1e6;
  if (ours <= 0 || theirs <= 0) return;
  std::printf("%-22s AnsiWrite %7.1f MB/s   libvterm %7.1f MB/s   ratio %.2f (MB = 10^6 bytes)\n", AWhat, ours,
              theirs, ours / theirs);
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ResetLocal();  // keeps the console in memory, off the real terminal
  std::printf("stream: %zu bytes in %zu door writes\n", Stream().Whole.size(), Stream().Pieces.size());
  TRatioReporter reporter(isatty(STDOUT_FILENO) != 0);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatio(reporter, "one write per piece:", "BM_AnsiWritePieces", "BM_VtermPieces");
  PrintRatio(reporter, "4 KB blocks:", "BM_AnsiWriteBlocks", "BM_VtermBlocks");
  benchmark::Shutdown();
  return 0;
}
