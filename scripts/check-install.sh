#!/bin/sh
# Checks installation and packaging on Linux: builds korvel, korvel-devsim,
# korvel-check, korvel-ports and korvel-gang, installs them stripped into a
# temporary prefix, builds the .deb, runs lintian on it and unpacks it into
# a scratch root, and checks in both places the programs (stripped and
# hardened), the compressed manual pages, the copyright file and changelog,
# the README and the manual's pages, the bash completion, korvel's banner
# and usage, the companions' verdict on the sample firmware and their port
# listing, and a flash of the sample firmware into the simulated device with
# the installed programs, by korvel and by korvel-gang.
#
# By default it builds in a scratch tree of its own; KORVEL_BUILD_DIR=<dir>
# uses (and builds) an existing build tree instead, which is faster.
set -eu
cd "$(dirname "$0")/.."
source_dir=$(pwd)

./scripts/install-packages.sh cmake ninja-build g++ dpkg-dev lintian bash-completion man-db \
  file binutils libcli11-dev nlohmann-json3-dev libssl-dev libcpp-httplib-dev

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
cmake --build "$build" --target korvel korvel-devsim korvel-check korvel-ports korvel-gang \
  korvel_compressed_docs \
  > "$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; exit 1; }

# --- What korvel with no arguments must print --------------------------------
printf 'Version: 2.3\nUsage: korvel.exe <COM-Port> <FW_File> [activation baud]\n\n' \
  > "$work/usage.expected"

# Checks that the program <file> is stripped, position-independent, with
# read-only relocations bound at start, stack protection and fortified
# library calls.
check_binary() {
  what=$1
  file=$2
  missing=""
  file -b "$file" | grep -q ', stripped' || missing="$missing stripped"
  readelf -d "$file" > "$work/dynamic"
  grep -q 'Flags:.*NOW' "$work/dynamic" || missing="$missing bindnow"
  grep -q 'Flags:.*PIE' "$work/dynamic" || missing="$missing pie"
  readelf -lW "$file" | grep -q GNU_RELRO || missing="$missing relro"
  nm -D "$file" > "$work/symbols"
  grep -q ' __stack_chk_fail' "$work/symbols" || missing="$missing stack-protector"
  grep -q '_chk@' "$work/symbols" || missing="$missing fortify"
  if [ -z "$missing" ]; then
    pass "$what: $(basename "$file") is stripped and hardened"
  else
    fail "$what: $(basename "$file") lacks:$missing"
  fi
}

# Loads the bash completion <file> the way bash-completion does and asks it
# for the words of korvel command lines.
check_completion() {
  what=$1
  completion=$2
  if [ ! -f "$completion" ]; then
    fail "$what: no share/bash-completion/completions/korvel"
    return
  fi
  mkdir -p "$work/images"
  : > "$work/images/firmware-1.img"
  # complete_word <n> <text>: the candidates for word <n> (1: the port).
  cat > "$work/complete.bash" << 'END'
. /usr/share/bash-completion/bash_completion
. "$1"
complete -p korvel > /dev/null || exit 1
# Outside a real completion bash refuses compopt: note what was asked.
compopt() {
  local IFS=' '
  options="$options [$*]"
}
complete_word() {
  local n=$1 cur=$2
  COMP_WORDS=(korvel /dev/ttyS0 firmware.img FORCE)
  COMP_WORDS[n]=$cur
  COMP_WORDS=("${COMP_WORDS[@]:0:n+1}")
  COMP_CWORD=$n
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  options=""
  _korvel korvel "$cur" "${COMP_WORDS[n - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
  printf '%s' "$options"
}
echo "stop: $(complete_word 2 ST)"
echo "hwparm: $(complete_word 2 HW)"
echo "image: $(complete_word 2 "$2/firm")"
echo "force: $(complete_word 3 FO)"
echo "ports: $(complete_word 1 /dev/tty)"
# The companions, from the files installed under their own names.
. "$(dirname "$1")/korvel-check"
. "$(dirname "$1")/korvel-ports"
COMP_WORDS=(korvel-check ST)
COMP_CWORD=1
COMP_LINE="korvel-check ST"
COMP_POINT=${#COMP_LINE}
COMPREPLY=()
_korvel_check korvel-check ST korvel-check
echo "check: ${COMPREPLY[*]}"
COMP_WORDS=(korvel-ports --j)
COMP_LINE="korvel-ports --j"
COMP_POINT=${#COMP_LINE}
COMPREPLY=()
_korvel_ports korvel-ports --j korvel-ports
echo "list: ${COMPREPLY[*]}"
END
  if ! bash "$work/complete.bash" "$completion" "$work/images" > "$work/complete.out" 2>&1; then
    fail "$what: the bash completion does not load:"
    cat "$work/complete.out" >&2
    return
  fi
  # The serial ports of this machine; without any, paths as paths.
  ports=$(for port in /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*; do
    [ -e "$port" ] && echo "$port"
  done | sort | tr '\n' ' ')
  [ -n "$ports" ] || ports="$(ls -d /dev/tty* | sort | tr '\n' ' ') [-o filenames]"
  # HWPARM goes on with its digits: no blank after it.
  printf '%s\n' "stop: STOP " "hwparm: HWPARM  [-o nospace]" \
    "image: $work/images/firmware-1.img  [-o filenames]" \
    "force: FORCE " "ports: $ports" "check: STOP" "list: --json" > "$work/complete.expected"
  if cmp -s "$work/complete.expected" "$work/complete.out"; then
    pass "$what: bash completes ports, STOP, HWPARM, image files and FORCE, and the companions"
  else
    fail "$what: the bash completion gave:"
    diff "$work/complete.expected" "$work/complete.out" >&2 || true
  fi
}

# Checks the installed files under <root><usr> (named <what>).
check_tree() {
  what=$1
  usr=$2
  for file in bin/korvel bin/korvel-devsim bin/korvel-check bin/korvel-ports bin/korvel-gang; do
    if [ -x "$usr/$file" ]; then
      check_binary "$what" "$usr/$file"
    else
      fail "$what: no executable $file"
    fi
  done
  # Manual pages compressed, the same text as in docs/.
  for page in docs/*.1; do
    name=$(basename "$page")
    installed="$usr/share/man/man1/$name.gz"
    if [ ! -f "$installed" ]; then
      fail "$what: no share/man/man1/$name.gz"
    elif ! gzip -dc "$installed" | cmp -s "$page" -; then
      fail "$what: share/man/man1/$name.gz differs from $page"
    else
      pass "$what: share/man/man1/$name.gz"
    fi
  done
  doc="$usr/share/doc/korvel"
  if grep -q '^License: Expat' "$doc/copyright" 2> /dev/null &&
    grep -q '^ Permission is hereby granted' "$doc/copyright"; then
    pass "$what: share/doc/korvel/copyright"
  else
    fail "$what: no share/doc/korvel/copyright with the licence"
  fi
  if gzip -dc "$doc/changelog.gz" 2> /dev/null | head -n 1 | grep -q '^korvel (2\.3) '; then
    pass "$what: share/doc/korvel/changelog.gz"
  else
    fail "$what: no share/doc/korvel/changelog.gz for 2.3"
  fi
  # The README and the manual's pages beside it, as in the source.
  for page in README.md docs/*.md; do
    if cmp -s "$page" "$doc/$page"; then
      pass "$what: share/doc/korvel/$page"
    else
      fail "$what: no share/doc/korvel/$page as in the source"
    fi
  done
  check_completion "$what" "$usr/share/bash-completion/completions/korvel"

  status=0
  "$usr/bin/korvel" > "$work/usage.out" 2> "$work/usage.err" || status=$?
  if [ "$status" -eq 255 ] && cmp -s "$work/usage.expected" "$work/usage.out" &&
    [ ! -s "$work/usage.err" ]; then
    pass "$what: korvel prints its banner and usage, status 255"
  else
    fail "$what: korvel with no arguments gave status $status and printed:"
    cat "$work/usage.out" "$work/usage.err" >&2
  fi

  # The companions: the sample firmware checks clean, and the ports list.
  status=0
  "$usr/bin/korvel-check" samples/sample-firmware.bin > "$work/check.out" 2>&1 || status=$?
  if [ "$status" -eq 0 ] && grep -qx 'Firmware version: 2.3.1 sample' "$work/check.out"; then
    pass "$what: korvel-check reads the sample firmware, status 0"
  else
    fail "$what: korvel-check on the sample firmware gave status $status:"
    cat "$work/check.out" >&2
  fi
  status=0
  "$usr/bin/korvel-ports" --json > "$work/ports.out" 2>&1 || status=$?
  if [ "$status" -eq 0 ] && head -n 1 "$work/ports.out" | grep -qx '{'; then
    pass "$what: korvel-ports --json lists the ports"
  else
    fail "$what: korvel-ports --json gave status $status:"
    cat "$work/ports.out" >&2
  fi

  # man finds each page through MANPATH alone and groff renders it cleanly.
  for page in korvel korvel-check korvel-ports korvel-gang; do
    found=$(MANPATH="$usr/share/man" man -w "$page" 2> /dev/null || true)
    rendered=$(MANPATH="$usr/share/man" MANWIDTH=80 man --warnings "$page" 2> "$work/man.err" ||
      true)
    if [ "$found" != "$usr/share/man/man1/$page.1.gz" ]; then
      fail "$what: man -w $page found '$found'"
    elif ! printf '%s\n' "$rendered" | grep -q '^EXIT STATUS'; then
      fail "$what: man $page rendered no EXIT STATUS section"
    elif [ -s "$work/man.err" ]; then
      fail "$what: man $page warned:"
      cat "$work/man.err" >&2
    else
      pass "$what: man $page renders"
    fi
  done
}

# Flashes the sample firmware into the simulated device with korvel and
# korvel-devsim from <usr>/bin, and compares the device's flash with it.
# Starts <usr>/bin/korvel-devsim with its line at <port>, writing its flash
# to $work/flash.bin at the reset and ending then; waits (up to 5 s) for the
# line to appear. Its process id is in devsim_pid.
start_devsim() {
  "$1/bin/korvel-devsim" --link "$2" --flash-out "$work/flash.bin" --exit-after-reset \
    > "$work/devsim.out" 2>&1 &
  devsim_pid=$!
  tries=0
  while [ ! -e "$2" ] && [ "$tries" -le 100 ]; do
    tries=$((tries + 1))
    sleep 0.05
  done
}

check_flash() {
  what=$1
  usr=$2
  port="$work/port-$what"
  rm -f "$port" "$work/flash.bin"
  start_devsim "$usr" "$port"
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

# The same with korvel-gang from <usr>/bin, which runs the korvel beside it,
# and its JSON report.
check_gang() {
  what=$1
  usr=$2
  port="$work/gang-port-$what"
  rm -f "$port" "$work/flash.bin" "$work/gang.json"
  start_devsim "$usr" "$port"
  status=0
  "$usr/bin/korvel-gang" samples/sample-firmware.bin "$port" --log-dir "$work/gang-logs" \
    --json "$work/gang.json" > "$work/gang.out" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then kill "$devsim_pid" 2> /dev/null || true; fi
  wait "$devsim_pid" 2> /dev/null || true
  devsim_pid=""
  if [ "$status" -eq 0 ] && tail -n 1 "$work/gang.out" | grep -qx 'korvel-gang: 1 of 1 runs passed' &&
    grep -q '"outcome": "passed"' "$work/gang.json" &&
    cmp -s samples/sample-firmware.bin "$work/flash.bin"; then
    pass "$what: korvel-gang flashed the sample firmware into the simulated device"
  else
    fail "$what: korvel-gang gave status $status:"
    cat "$work/gang.out" "$work/devsim.out" >&2
  fi
}

# --- cmake --install ---------------------------------------------------------
prefix="$work/prefix"
if cmake --install "$build" --prefix "$prefix" --strip > "$work/install.log" 2>&1; then
  check_tree prefix "$prefix"
  check_flash prefix "$prefix"
  check_gang prefix "$prefix"
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
    depends=$(dpkg-deb -f "$deb" Depends)
    case "$depends" in
      *libc6*libstdc++6*) pass "deb: Depends $depends" ;;
      *) fail "deb: Depends is '$depends'" ;;
    esac
    dpkg-deb -c "$deb" > "$work/contents"
    for path in ./usr/bin/korvel ./usr/bin/korvel-devsim ./usr/bin/korvel-check \
      ./usr/bin/korvel-ports ./usr/bin/korvel-gang ./usr/share/man/man1/korvel.1.gz \
      ./usr/share/man/man1/korvel-gang.1.gz \
      ./usr/share/man/man1/korvel-check.1.gz ./usr/share/man/man1/korvel-ports.1.gz \
      ./usr/share/bash-completion/completions/korvel-check \
      ./usr/share/doc/korvel/copyright ./usr/share/doc/korvel/changelog.gz \
      ./usr/share/bash-completion/completions/korvel; do
      grep -q " $path\$" "$work/contents" || fail "deb: $path not listed by dpkg-deb -c"
    done

    # Debian's own checks of the package: no error, no warning.
    lintian_status=0
    lintian "$deb" > "$work/lintian.out" 2>&1 || lintian_status=$?
    if grep -Eq '^[EW]: ' "$work/lintian.out"; then
      fail "lintian:"
      cat "$work/lintian.out" >&2
    elif [ "$lintian_status" -ne 0 ]; then
      fail "lintian ended with status $lintian_status:"
      cat "$work/lintian.out" >&2
    else
      pass "lintian: no error, no warning ($(grep -c '^[A-Z]: ' "$work/lintian.out") other tags)"
    fi

    root="$work/root"
    dpkg -x "$deb" "$root"
    check_tree deb "$root/usr"
    check_flash deb "$root/usr"
    check_gang deb "$root/usr"
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
