#!/bin/sh
# Checks installation and packaging on Linux: builds korvel and korvel-devsim,
# installs them into a temporary prefix, builds the .deb and unpacks it into
# a scratch root, and checks in both places the programs, the manual pages,
# korvel's banner and usage, and a flash of the sample firmware into the
# simulated device with the installed programs.
#
# By default it builds in a scratch tree of its own; KORVEL_BUILD_DIR=<dir>
# uses (and builds) an existing build tree instead, which is faster.
set -eu
cd "$(dirname "$0")/.."
source_dir=$(pwd)

work=$(mktemp -d)
devsim_pid=""
cleanup() {
  if [ -n "$devsim_pid" ]; then kill "$devsim_pid" 2> /dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

# --- Build -------------------------------------------------------------------
build=${KORVEL_BUILD_DIR:-$work/build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVEL_BUILD_TESTS=OFF > "$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; exit 1; }
else
  # Picks up changes to the install rules of an existing tree.
  cmake "$build" > "$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; exit 1; }
fi
cmake --build "$build" --target korvel korvel-devsim > "$work/build.log" 2>&1 ||
  { tail -n 40 "$work/build.log" >&2; exit 1; }

# --- What korvel with no arguments must print --------------------------------
printf 'Version: 2.3\nUsage: korvel.exe <COM-Port> <FW_File> [activation baud]\n\n' \
  > "$work/usage.expected"

# Checks the programs and manual pages under <root><usr> (named <what>).
check_tree() {
  what=$1
  usr=$2
  for file in bin/korvel bin/korvel-devsim; do
    if [ -x "$usr/$file" ]; then pass "$what: $file"; else fail "$what: no executable $file"; fi
  done
  for page in docs/*.1; do
    name=$(basename "$page")
    installed="$usr/share/man/man1/$name"
    if [ ! -f "$installed" ]; then
      fail "$what: no share/man/man1/$name"
    elif ! cmp -s "$page" "$installed"; then
      fail "$what: share/man/man1/$name differs from $page"
    else
      pass "$what: share/man/man1/$name"
    fi
  done

  status=0
  "$usr/bin/korvel" > "$work/usage.out" 2> "$work/usage.err" || status=$?
  if [ "$status" -eq 255 ] && cmp -s "$work/usage.expected" "$work/usage.out" &&
    [ ! -s "$work/usage.err" ]; then
    pass "$what: korvel prints its banner and usage, status 255"
  else
    fail "$what: korvel with no arguments gave status $status and printed:"
    cat "$work/usage.out" "$work/usage.err" >&2
  fi

  if command -v man > /dev/null 2>&1; then
    # man finds the page through MANPATH alone and groff renders it cleanly.
    found=$(MANPATH="$usr/share/man" man -w korvel 2> /dev/null || true)
    rendered=$(MANPATH="$usr/share/man" MANWIDTH=80 man --warnings korvel 2> "$work/man.err" || true)
    if [ "$found" != "$usr/share/man/man1/korvel.1" ]; then
      fail "$what: man -w korvel found '$found'"
    elif ! printf '%s\n' "$rendered" | grep -q '^EXIT STATUS'; then
      fail "$what: man korvel rendered no EXIT STATUS section"
    elif [ -s "$work/man.err" ]; then
      fail "$what: man korvel warned:"
      cat "$work/man.err" >&2
    else
      pass "$what: man korvel renders"
    fi
  else
    echo "note: man is not installed; manual pages not rendered (apt-get install man-db)"
  fi
}

# Flashes the sample firmware into the simulated device with korvel and
# korvel-devsim from <usr>/bin, and compares the device's flash with it.
check_flash() {
  what=$1
  usr=$2
  port="$work/port-$what"
  rm -f "$port" "$work/flash.bin"
  "$usr/bin/korvel-devsim" --link "$port" --flash-out "$work/flash.bin" --exit-after-reset \
    > "$work/devsim.out" 2>&1 &
  devsim_pid=$!
  tries=0
  while [ ! -e "$port" ] && [ "$tries" -le 100 ]; do
    tries=$((tries + 1))
    sleep 0.05
  done
  status=0
  "$usr/bin/korvel" "$port" samples/sample-firmware.bin > "$work/flash.out" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then kill "$devsim_pid" 2> /dev/null || true; fi
  wait "$devsim_pid" 2> /dev/null || true
  devsim_pid=""
  if [ "$status" -eq 0 ] && tail -n 1 "$work/flash.out" | grep -qx 'Firmware flashed.' &&
    cmp -s samples/sample-firmware.bin "$work/flash.bin"; then
    pass "$what: the sample firmware flashed into the simulated device"
  else
    fail "$what: flashing the simulated device gave status $status:"
    cat "$work/flash.out" "$work/devsim.out" >&2
  fi
}

# --- cmake --install ---------------------------------------------------------
prefix="$work/prefix"
if cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1; then
  check_tree prefix "$prefix"
  check_flash prefix "$prefix"
else
  cat "$work/install.log" >&2
  fail "cmake --install"
fi

# --- The .deb ----------------------------------------------------------------
rm -rf "$build/packages"
if cpack --config "$build/CPackConfig.cmake" -G DEB > "$work/cpack.log" 2>&1; then
  set -- "$build"/packages/korvel_*.deb
  if [ "$#" -ne 1 ] || [ ! -f "$1" ]; then
    fail "cpack made no single korvel_*.deb"
  else
    deb=$1
    pass "cpack: $(basename "$deb")"
    for field in Package:korvel Section:electronics; do
      value=$(dpkg-deb -f "$deb" "${field%%:*}")
      [ "$value" = "${field#*:}" ] && pass "deb: ${field%%:*} $value" ||
        fail "deb: ${field%%:*} is '$value'"
    done
    if command -v dpkg-shlibdeps > /dev/null 2>&1; then
      depends=$(dpkg-deb -f "$deb" Depends)
      case "$depends" in
        *libc6*libstdc++6*) pass "deb: Depends $depends" ;;
        *) fail "deb: Depends is '$depends'" ;;
      esac
    fi
    dpkg-deb -c "$deb" > "$work/contents"
    for path in ./usr/bin/korvel ./usr/bin/korvel-devsim ./usr/share/man/man1/korvel.1; do
      grep -q " $path\$" "$work/contents" || fail "deb: $path not listed by dpkg-deb -c"
    done
    root="$work/root"
    dpkg -x "$deb" "$root"
    check_tree deb "$root/usr"
    check_flash deb "$root/usr"
  fi
else
  cat "$work/cpack.log" >&2
  fail "cpack -G DEB"
fi

if [ "$failures" -ne 0 ]; then
  echo "check-install: $failures failed" >&2
  exit 1
fi
echo "check-install: all passed"
