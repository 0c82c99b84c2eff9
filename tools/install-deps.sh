#!/bin/sh
# Installs the Debian packages the tests and benchmarks need, when they are missing.
# The door itself needs nothing beyond the C++ standard library.
set -e
PKGS="cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libvterm-dev libncurses-dev python3 python3-pyte telnet dpkg-dev lintian"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing test tools; install them with: sudo apt-get install$missing" >&2
  exit 1
fi
[ "$1" = "--quiet" ] || echo "installing:$missing"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
