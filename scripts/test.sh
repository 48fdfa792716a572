#!/bin/sh
# Installs what the builds and the tests need (Debian 12), builds, and runs
# every test suite: native, korvel against real kernel drivers in a QEMU
# guest, sanitizers, fuzzing, plain builds without a preset, the Windows
# build under Wine, and the installation with its package check. CI runs
# exactly this. Every ctest call fails when it finds no test, so a tree
# configured without them can't pass for a tested one.
set -eu
cd "$(dirname "$0")/.."

# --- What the tests need -------------------------------------------------
# The Windows build runs under Wine; Wine's 32-bit half needs the i386
# architecture. Where the kernel can't run 32-bit programs, the 64-bit
# build of the same sources is tested instead (see below).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd=sudo
  $sudo_cmd dpkg --add-architecture i386
fi
# korvel-check and korvel-ports read options with CLI11 and write JSON with
# nlohmann-json (header-only; the Windows build uses the same headers). The
# network port's tests start ser2net; the guest's netem needs iproute2's tc.
# korvel-gang hashes images with OpenSSL's libcrypto and serves its page
# with cpp-httplib; its tests load the page in Chromium (screenshots read
# with zlib) and check its metrics with Prometheus' promtool.
./scripts/install-packages.sh cmake ninja-build make g++ libgtest-dev libgmock-dev strace tmux \
  libcli11-dev nlohmann-json3-dev ser2net iproute2 libssl-dev libcpp-httplib-dev zlib1g-dev \
  chromium prometheus \
  clang clang-tidy libclang-rt-14-dev g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
  wine wine32:i386 wine64 dpkg-dev man-db file lintian bash-completion \
  qemu-system-x86 cpio xz-utils zstd

# --- Layout: includes point down, no circles, no #if ----------------------
./scripts/check-layout.sh

# --- Native build and tests ----------------------------------------------
# Tests on explicitly: the tree may have been configured without them.
# The results go to native-tests.xml as well (JUnit), for CI to count.
cmake --preset default -DKORVEL_BUILD_TESTS=ON
cmake --build --preset default
ctest --preset default -j2 --no-tests=error --output-junit "$PWD/build/default/native-tests.xml"

# --- Every function outside tests/ within 60 lines (clang-tidy) -------------
./scripts/check-function-size.sh build/default

# --- Plain builds (no preset; g++ Release, then clang++) -------------------
./scripts/build-plain.sh

# --- Real kernel drivers in a QEMU guest -----------------------------------
# Debian's kernel and busybox are fetched into build/guest-cache, not
# installed. Runs alone: the emulated guest keeps a core busy.
./tests/guest/fetch-packages.sh build/guest-cache
ctest --preset guest --no-tests=error

# --- Sanitizers and fuzzing (clang) ---------------------------------------
./scripts/sanitize.sh
./scripts/fuzz.sh 30

# --- Windows ---------------------------------------------------------------
./scripts/test-windows.sh
./scripts/check-function-size.sh build/mingw-x86_64

# --- Installation ------------------------------------------------------------
KORVEL_BUILD_DIR=build/default ./scripts/check-install.sh
