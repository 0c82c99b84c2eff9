#!/bin/sh
# The door on ARM, as sysops run it on a Raspberry Pi: builds the kit, the show and a part of
# the tests (the show's arithmetic and bytes, the link, the drop files, the session) with
# Debian's cross compilers for 64-bit ARM (aarch64) and 32-bit ARM (armhf), runs those tests
# under qemu-user, and checks that the show's bytes for a fixed seed, 2000 frames with music
# and the picture, are the very bytes this machine's build sends.
#
#     tools/test-arm.sh [aarch64] [armhf]      (default: both; JOBS=n, BUILD=native build)
#
# Installs its own tools when run as root; otherwise says what to install.
set -eu
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
BUILD=${BUILD:-build}
ARCHES=${*:-aarch64 armhf}
FRAMES=2000
SEED=20250401
# In-process tests only: qemu-user runs one program, not the programs it would start.
TESTS="test_demo_spiral;test_demo_show;test_comm;test_dropfiles;test_stringutils;test_crt2;\
test_ansi_builders;test_ansi_write;test_console;test_console_keys"

triple() { case $1 in aarch64) echo aarch64-linux-gnu ;; armhf) echo arm-linux-gnueabihf ;; esac; }
qemu() { case $1 in aarch64) echo qemu-aarch64 ;; armhf) echo qemu-arm ;; esac; }

pkgs="cmake make g++ libgtest-dev qemu-user"
for a in $ARCHES; do
  [ -n "$(triple "$a")" ] || { echo "test-arm: unknown machine $a (aarch64, armhf)" >&2; exit 2; }
  pkgs="$pkgs g++-$(triple "$a")"
done
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "test-arm: missing tools; install them with: sudo apt-get install$missing" >&2
    exit 1
  fi
  echo "installing:$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq $missing >/dev/null
fi

echo "== show's bytes on this machine ($(uname -m))"
cmake --build "$BUILD" -j "$JOBS" --target show_bytes
"$BUILD/bin/show_bytes" demo $FRAMES $SEED >"$BUILD/show_bytes.bin"
echo "$(wc -c <"$BUILD/show_bytes.bin") bytes, sha256 $(sha256sum <"$BUILD/show_bytes.bin" | cut -c1-64)"

failed=""
for a in $ARCHES; do
  start=$(date +%s)
  dir=build-$a
  echo "== $a: build"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=tools/cross/$a.cmake -DVANTORAMA_BENCH=OFF \
    -DVANTORAMA_TESTS_ONLY="$TESTS" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  built=$(date +%s)
  echo "== $a: tests under $(qemu "$a")"
  # Death tests start the test program again, which qemu-user cannot do: they run natively.
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$JOBS" -E DeathTest ||
    failed="$failed $a(tests)"
  echo "== $a: show's bytes"
  if "$(qemu "$a")" -L "/usr/$(triple "$a")" "$dir/bin/show_bytes" demo $FRAMES $SEED >"$dir/show_bytes.bin" &&
    cmp "$BUILD/show_bytes.bin" "$dir/show_bytes.bin"; then
    echo "$a sends the same $(wc -c <"$dir/show_bytes.bin") bytes"
  else
    failed="$failed $a(show-bytes)"
  fi
  end=$(date +%s)
  echo "== $a: build $((built - start)) s, tests and bytes $((end - built)) s"
done
if [ -n "$failed" ]; then
  echo "test-arm: FAILED:$failed" >&2
  exit 1
fi
echo "test-arm: all passed on $ARCHES"
