#!/bin/sh
# Fails when a function outside tests/ is longer than 60 lines: a reader
# should be able to hold each one. clang-tidy's readability-function-size
# counts the lines of every function body in the sources a build tree
# compiles (its compile_commands.json).
#   scripts/check-function-size.sh [BUILD_DIR]   (default build/default)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/default}
if ! command -v clang-tidy > /dev/null 2>&1; then
  echo "FAIL: clang-tidy is not installed (Debian: clang-tidy)" >&2
  exit 1
fi
if [ ! -f "$build/compile_commands.json" ]; then
  echo "FAIL: $build/compile_commands.json is missing: configure $build first" >&2
  exit 1
fi

sources=$(sed -n 's/^ *"file": "\(.*\)",*$/\1/p' "$build/compile_commands.json" |
  grep -v -e '/tests/' -e '/build/' -e '/googletest/' | sort -u)
count=$(echo "$sources" | wc -l)
report=$(echo "$sources" |
  xargs -P 2 -n 8 clang-tidy -p "$build" --quiet --checks='-*,readability-function-size' \
    --config='{CheckOptions: [{key: readability-function-size.LineThreshold, value: 60}]}' \
    2> /dev/null | grep 'exceeds recommended size' | sed "s|^$PWD/||" | sort -u || true)
if [ -n "$report" ]; then
  echo "FAIL: functions over 60 lines:" >&2
  echo "$report" >&2
  exit 1
fi
echo "Function size: no function over 60 lines in the $count sources outside tests/."
