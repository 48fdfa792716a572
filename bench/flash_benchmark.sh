#!/bin/sh
# Flashes a 65,535-byte image into a paced simulated device with a write
# time of 5 ms per block, five times (or --runs N) with each reply timing,
# standard and fast (KORVEL_FAST=1), with the native korvel and, where
# 64-bit Wine runs, with korvel.exe under Wine; prints wall time against
# the standard protocol bound and the timing's own, and korvel's CPU share.
# Other options go to the benchmark program (korvel-flash-benchmark --help).
#
#   bench/flash_benchmark.sh [--native-only] [--runs N] [--write-time-us N]
#
# Timing is disturbed by whatever else runs: read the load averages it
# prints, and prefer a quiet machine.
set -eu
cd "$(dirname "$0")/.."

windows=yes
if [ "${1:-}" = "--native-only" ]; then
  windows=no
  shift
fi

cmake --preset default > /dev/null
cmake --build --preset default --target korvel korvel-flash-benchmark > /dev/null

set -- --korvel build/default/korvel "$@"
if [ "$windows" = yes ] && /usr/lib/wine/wine64 --version > /dev/null 2>&1 &&
  command -v x86_64-w64-mingw32-g++ > /dev/null 2>&1; then
  cmake --preset mingw-x86_64 > /dev/null
  cmake --build --preset mingw-x86_64 --target korvel > /dev/null
  set -- "$@" --windows build/mingw-x86_64/korvel.exe --wine-run tests/win32/wine-run.sh
else
  [ "$windows" = no ] || echo "64-bit Wine or MinGW-w64 missing: native build only." >&2
fi

exec build/default/korvel-flash-benchmark "$@"
