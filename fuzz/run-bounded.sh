#!/usr/bin/env bash
# Bounded fuzzing for CI: builds every fuzz target with clang in build-fuzz and runs each
# for FUZZ_SECONDS (20) from its committed seeds, copied to a scratch folder so the
# committed corpus stays as it is. A crash, leak or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${FUZZ_SECONDS:-20}
BUILD=${FUZZ_BUILD:-build-fuzz}
WORK=fuzz/corpus-work

# clang and its fuzzer runtime, from Debian when missing.
have_fuzzer() {
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - >/dev/null 2>&1
}
if ! command -v clang++ >/dev/null 2>&1 || ! have_fuzzer; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "fuzzing needs clang with its fuzzer runtime: sudo apt-get install clang libclang-rt-dev" >&2
    exit 1
  fi
  echo "installing clang"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
  if ! have_fuzzer; then
    major=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null
  fi
  have_fuzzer || { echo "clang cannot build fuzz targets" >&2; exit 1; }
fi

CXX=clang++ cmake -S . -B "$BUILD" -DVANTORAMA_FUZZ=ON -DVANTORAMA_TESTS=OFF -DVANTORAMA_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target fuzz

failed=""
for src in fuzz/fuzz_*.cpp; do
  name=$(basename "$src" .cpp)
  rm -rf "${WORK:?}/$name"
  mkdir -p "$WORK/$name"
  if [ -d "fuzz/corpus/$name" ]; then
    cp -r "fuzz/corpus/$name/." "$WORK/$name/"
  fi
  echo "== $name, ${SECONDS_EACH}s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$BUILD/bin/$name" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
      -max_len=8192 -print_final_stats=1 -artifact_prefix="$WORK/$name-" "$WORK/$name" \
      >"$WORK/$name.log" 2>&1; then
    tail -n 60 "$WORK/$name.log"
    echo "$name failed: the input that broke it is in $WORK/$name-*" >&2
    failed="$failed $name"
  else
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$WORK/$name.log" || true
  fi
done
if [ -n "$failed" ]; then
  echo "fuzzing found faults in:$failed" >&2
  exit 1
fi
