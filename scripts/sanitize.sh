#!/bin/sh
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# (asan preset, clang) and runs the whole test suite under them; leaks,
# out-of-bounds accesses and undefined behaviour end a test as a failure.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-packages.sh cmake ninja-build clang libclang-rt-14-dev libgtest-dev libgmock-dev \
  libcli11-dev nlohmann-json3-dev

cmake --preset asan -DKORVEL_BUILD_TESTS=ON
cmake --build --preset asan
ctest --preset asan -j2 --no-tests=error
