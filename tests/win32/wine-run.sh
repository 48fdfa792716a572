#!/bin/sh
# Runs a Windows program under Wine: the test emulator of the MinGW builds
# and the way the end-to-end tests start korvel.exe.
#
#   wine-run.sh [--com N DEVICE]... PROGRAM.exe [ARGUMENTS...]
#
# --com N DEVICE makes the port COMN of the prefix the serial device DEVICE
# (a pseudo-terminal of the simulated device, say): Wine opens COMN through
# the symlink dosdevices/comN. Tests that run side by side in one prefix
# each need a port number of their own.
#
# WINEPREFIX, when set, names the Wine prefix to use; otherwise it is
# "wineprefix" beside the program, so each build folder has its own. Its
# first start takes about 20 s, and is done once, under a lock, so that
# tests started side by side don't each create it.
set -eu

ports=""
while [ "${1:-}" = "--com" ]; do
  ports="$ports $2=$3"
  shift 3
done
program=$1
shift

: "${WINEPREFIX:=$(cd "$(dirname "$program")" && pwd)/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"

# PE32+ (64-bit) programs need the 64-bit loader; Debian's "wine" command
# prefers the 32-bit one, which can't start where the kernel runs no 32-bit
# code. The machine field of the PE header tells the two apart.
pe_offset=$(od -An -tu4 -j60 -N4 "$program" | tr -d ' ')
machine=$(od -An -tx2 -j"$((pe_offset + 4))" -N2 "$program" | tr -d ' ')
case "$machine" in
  8664) loader=/usr/lib/wine/wine64 ;;
  *) loader=/usr/lib/wine/wine ;;
esac
if [ ! -x "$loader" ]; then
  echo "wine-run.sh: $loader is missing (Debian: wine64, or wine32:i386)" >&2
  exit 127
fi
export WINELOADER="$loader"
# The 32-bit loader is a 32-bit Linux program: a kernel without 32-bit
# support refuses it. Status 77 lets CTest count the test as skipped.
if ! "$loader" --version > /dev/null 2>&1; then
  echo "wine-run.sh: $loader can't start on this machine (no 32-bit support in the kernel?);" \
    "build and test the mingw-x86_64 preset instead" >&2
  exit 77
fi

# Create the prefix once; wineboot returns when it is ready. Then make
# sure its server runs, started here with its output in a log: a server
# that a program starts itself writes to the program's standard error,
# and at its exit it may dump thousands of lines there. It stays up 30 s
# after its last program, so a test run pays its start-up once; or as many
# seconds as WINESERVER_PERSIST says, until "wineserver -k" when it is empty.
server=/usr/lib/wine/wineserver
lock="$WINEPREFIX.lock"
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$loader" wineboot --init 9>&- > /dev/null 2>&1 || true
    # wineboot's own server goes away a few seconds after it: wait for
    # that, or the server started below would be that one, and the program
    # that comes after its end would start its own.
    "$server" -w 9>&- > /dev/null 2>&1 || true
  fi
  # Starting a server when one runs for the prefix does nothing. The
  # server must not inherit the lock (descriptor 9): it would hold it for
  # as long as it lives, and every later run would wait for it to exit.
  "$server" -p"${WINESERVER_PERSIST-30}" 9>&- < /dev/null >> "$WINEPREFIX.server.log" 2>&1 || true
) 9> "$lock"

# Wine reads the symlink when the port is opened; a port may be pointed at
# another device between two runs.
for port in $ports; do
  ln -sfn "${port#*=}" "$WINEPREFIX/dosdevices/com${port%%=*}"
done

exec "$loader" "$program" "$@"
