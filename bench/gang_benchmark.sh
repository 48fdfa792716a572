#!/bin/sh
# Flashes a 16 KiB image into paced simulated devices: one korvel run, then
# sixteen at once with korvel-gang (its board drawn on a pseudo-terminal),
# then sixteen of which three are faulty; three rounds (or --rounds N), and
# the medians against the targets. Other options go to the benchmark program
# (korvel-gang-benchmark --help).
#
#   bench/gang_benchmark.sh [--rounds N] [--max-load L]
#
# Before each round it waits while the machine's one-minute load is above
# 1.5 (at most ten minutes), and prints the load: timing is disturbed by
# whatever else runs.
set -eu
cd "$(dirname "$0")/.."

cmake --preset default > /dev/null
cmake --build --preset default --target korvel korvel-gang korvel-gang-benchmark > /dev/null

exec build/default/korvel-gang-benchmark --korvel build/default/korvel \
  --gang build/default/korvel-gang "$@"
