#!/bin/sh
# Builds korvel.exe (with korvel-check.exe, korvel-ports.exe and
# korvel-gang.exe) for 32-bit Windows and runs the Windows tests under Wine.
# Where this machine's Wine can't start 32-bit programs (a kernel without
# 32-bit support), the same sources are built for 64-bit Windows and tested
# under 64-bit Wine instead; the 32-bit program is still built and checked.
set -eu
cd "$(dirname "$0")/.."

# korvel-gang's page: cpp-httplib's single header, from Debian's source
# package (the binary package's library is the build machine's).
./scripts/fetch-httplib.sh build/httplib-source
cmake --preset mingw-i686
cmake --build --preset mingw-i686
for program in korvel korvel-check korvel-ports korvel-gang; do
  file build/mingw-i686/$program.exe | grep -q "PE32 executable (console) Intel 80386"
  echo "build/mingw-i686/$program.exe: PE32, Intel 80386"
done

if /usr/lib/wine/wine --version > /dev/null 2>&1; then
  windows_build=build/mingw-i686
  ctest --preset mingw-i686 --no-tests=error
else
  echo "32-bit Wine can't start here: testing the 64-bit build of the same sources."
  windows_build=build/mingw-x86_64
  cmake --preset mingw-x86_64
  cmake --build --preset mingw-x86_64
  ctest --preset mingw-x86_64 --no-tests=error
fi

# The end-to-end tests with korvel.exe under Wine (and the companions' tests
# with the .exe files beside it): the native test program runs it through
# tests/win32/wine-run.sh against the simulated device, every
# run in one prefix of their own, created (once) before the first test. Its
# server lives until the tests have ended: one that went away between two
# runs would be started by the next korvel.exe, onto its standard error.
# The progress line tests start the native binary themselves and stay
# native; the fault matrix is not yet ready for Windows.
cmake --preset default -DKORVEL_BUILD_TESTS=ON > /dev/null
cmake --build --preset default
export WINEPREFIX="$PWD/$windows_build/wineprefix-e2e"
export WINESERVER_PERSIST=""
# The server writes a dump of its objects into its log whenever a simulated
# device hangs up: hundreds of MB over the tests, dropped at the end.
trap '/usr/lib/wine/wineserver -k > /dev/null 2>&1 || true; rm -f "$WINEPREFIX.server.log"' EXIT
started=$(date +%s)
KORVEL_E2E_WINE="$PWD/$windows_build/korvel.exe" build/default/korvel_e2e_tests \
  --gtest_filter='-*Progress*:FaultMatrix*' --gtest_brief=1
# korvel-gang.exe with its korvel.exe children under Wine: the gang's cases
# whose platform is Windows (a batch with faulty devices, the time limit,
# Ctrl+C and the gang's own end, the board on a terminal, the command
# lines it refuses).
KORVEL_E2E_WINE="$PWD/$windows_build/korvel.exe" build/default/korvel_gang_tests \
  --gtest_filter='*Windows' --gtest_brief=1
echo "End-to-end tests under Wine: $(($(date +%s) - started)) s"
