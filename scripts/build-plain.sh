#!/bin/sh
# Builds the way packagers, IDEs and most people do, without a preset:
#   cmake -S . -B <dir> -DCMAKE_BUILD_TYPE=Release && cmake --build <dir>
# once with the system's c++ (g++) and once with CXX=clang++, each in a fresh
# tree, and runs the unit tests of each. Warnings are not errors in such a
# build (KORVEL_WERROR is off), so this script fails on any warning itself:
# a plain optimised build must stay quiet too.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-packages.sh cmake make g++ clang libgtest-dev libgmock-dev libcli11-dev \
  nlohmann-json3-dev libssl-dev libcpp-httplib-dev zlib1g-dev

status=0
# Builds in build/<name> with the compiler named in the environment given.
plain_build() {
  name=$1
  shift
  dir=build/$name
  rm -rf "$dir"
  mkdir -p build
  echo "== $name: $*"
  if ! env "$@" cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release > "$dir.log" 2>&1 ||
    ! cmake --build "$dir" -j2 >> "$dir.log" 2>&1; then
    tail -n 40 "$dir.log"
    echo "== $name: build FAILED (log: $dir.log)"
    status=1
    return
  fi
  warnings=$(grep -c 'warning:' "$dir.log" || true)
  if [ "$warnings" -ne 0 ]; then
    grep -B12 'warning:' "$dir.log" | grep -v '^ *from ' | head -n 60
    echo "== $name: $warnings warnings (log: $dir.log)"
    status=1
  fi
  if ! ctest --test-dir "$dir" -L unit -j2 --no-tests=error > "$dir.test.log" 2>&1; then
    tail -n 40 "$dir.test.log"
    echo "== $name: unit tests FAILED"
    status=1
    return
  fi
  echo "== $name: $warnings warnings; unit tests: $(grep 'tests passed' "$dir.test.log")"
}

plain_build plain-gcc -u CXX
plain_build plain-clang CXX=clang++
exit "$status"
