#!/bin/sh
# Flashes a 16 KiB image into paced simulated devices: one korvel run, then
# sixteen at once with korvel-gang (its board drawn on a pseudo-terminal),
# then sixteen of which three are faulty; and, where 64-bit Wine runs, one
# korvel.exe run and korvel-gang.exe on eight under Wine. Three rounds (or
# --rounds N), and the medians against the targets. Other options go to the
# benchmark program (korvel-gang-benchmark --help).
#
#   bench/gang_benchmark.sh [--native-only] [--rounds N] [--max-load L]
#
# Before each round it waits while the machine's one-minute load is above
# 1.5 (at most ten minutes), and prints the load: timing is disturbed by
# whatever else runs.
set -eu
cd "$(dirname "$0")/.."

windows=yes
if [ "${1:-}" = "--native-only" ]; then
  windows=no
  shift
fi

cmake --preset default > /dev/null
cmake --build --preset default --target korvel korvel-gang korvel-gang-benchmark > /dev/null

set -- --korvel build/default/korvel --gang build/default/korvel-gang "$@"
if [ "$windows" = yes ] && /usr/lib/wine/wine64 --version > /dev/null 2>&1 &&
  command -v x86_64-w64-mingw32-g++ > /dev/null 2>&1; then
  cmake --preset mingw-x86_64 > /dev/null
  cmake --build --preset mingw-x86_64 --target korvel korvel-gang > /dev/null
  set -- "$@" --windows build/mingw-x86_64/korvel.exe --wine-run tests/win32/wine-run.sh
else
  [ "$windows" = no ] || echo "64-bit Wine or MinGW-w64 missing: native build only." >&2
fi

exec build/default/korvel-gang-benchmark "$@"
