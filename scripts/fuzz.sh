#!/bin/sh
# Builds the fuzz targets (fuzz preset, clang's libFuzzer) and runs each one
# for a bounded time on a copy of its seed corpus, so the repository is not
# written. Fails on the first finding; the crashing input is kept in the work
# folder that the message names.
#   scripts/fuzz.sh [seconds per target, default 30] [target...]
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-30}
[ $# -gt 0 ] && shift
targets=${*:-"fuzz_reply fuzz_parse fuzz_firmware_image fuzz_number_text fuzz_arguments fuzz_telnet"}

./scripts/install-packages.sh cmake ninja-build clang libclang-rt-14-dev
cmake --preset fuzz > /dev/null
cmake --build --preset fuzz

work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-fuzz.XXXXXX")
status=0
for target in $targets; do
  # A reply never exceeds one 285-byte receive; an image never exceeds
  # 65,535 bytes; arguments and a server's stream stay short.
  # The two reply fuzzers feed the same rule and start from the same seeds.
  corpus=$target
  case $target in
    fuzz_reply | fuzz_parse) max_len=285 corpus=replies ;;
    fuzz_firmware_image) max_len=65535 ;;
    *) max_len=4096 ;;
  esac
  mkdir -p "$work/$target/corpus" "$work/$target/findings"
  cp "$root/fuzz/corpus/$corpus/"* "$work/$target/corpus/"
  echo "== $target: ${seconds}s"
  if ! (cd "$work/$target" &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$root/build/fuzz/$target" corpus \
      -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix=findings/ -print_final_stats=1 > log 2>&1); then
    tail -n 60 "$work/$target/log"
    echo "== $target: FINDING, input kept in $work/$target/findings/"
    status=1
    break
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)' \
    "$work/$target/log" || true
done

if [ "$status" -eq 0 ]; then
  rm -rf "$work"
  echo "== no findings"
fi
exit "$status"
