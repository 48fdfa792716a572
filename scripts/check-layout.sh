#!/bin/sh
# Checks the layout rules of the sources and lists the includes between
# folders. Fails when
#   - a folder includes from a folder above it or beside it: the tool's
#     folders are layered app -> bootloader, image -> serial -> common, the
#     companion programs (tools) sit on top of them all, the simulated
#     device (devsim) shares no code with the tool, and the benchmarks
#     (bench) sit on top of everything;
#   - includes go round in a circle, between files of one folder as well
#     (a header and its .cpp files, whatever their platform, count as one);
#   - a source chooses its platform with #if/#ifdef: the build picks files;
#   - a *_posix file, which any POSIX system builds, uses an interface only
#     Linux has: such code belongs in a *_linux file.
#   scripts/check-layout.sh
set -eu
cd "$(dirname "$0")/.."

folders="bench tools app bootloader image serial common devsim"
sources=$(find $folders -name '*.cpp' -o -name '*.h' | sort)
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

# The folders each folder may include from, its own aside.
allowed() {
  case $1 in
    bench) echo "tools app bootloader image serial common devsim tests" ;;
    tools) echo "app bootloader image serial common" ;;
    app) echo "bootloader image serial common" ;;
    bootloader | image) echo "serial common" ;;
    serial) echo "common" ;;
    *) echo "" ;;
  esac
}

# The one file of tools/ the simulated device may include: korvel-devsim
# reads its command line the way the companions do, through their header
# over CLI11, which holds nothing of the tool.
shared_with_devsim="tools/command_line.h"

# Every include of a project header, as "<including file> <included file>".
edges=$(for file in $sources; do
  sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([a-z_]*\/[^"]*\)".*/\1/p' "$file" |
    while read -r included; do echo "$file $included"; done
done)

# 1. Between folders: listed, and only downwards.
echo "Includes between folders (count, from -> to):"
echo "$edges" | awk '{ split($1, a, "/"); split($2, b, "/"); if (a[1] != b[1]) print a[1] " -> " b[1] }' |
  sort | uniq -c
between=$(echo "$edges" | awk -v shared="$shared_with_devsim" '{ split($1, a, "/"); split($2, b, "/");
  if (a[1] != b[1] && !(a[1] == "devsim" && $2 == shared)) print }')
for edge in $(echo "$between" | awk '{ split($1, a, "/"); split($2, b, "/"); print a[1] ":" b[1] }' |
  sort -u); do
  from=${edge%%:*}
  to=${edge#*:}
  case " $(allowed "$from") " in
    *" $to "*) ;;
    *) fail "$from/ includes from $to/: $(echo "$edges" | grep "^$from/[^ ]* $to/" | head -n 3 | tr '\n' ';')" ;;
  esac
done

# 2. No circle: a file stands for its unit (folder/name without extension
# and platform suffix), so progress.cpp -> report.h and report.cpp ->
# progress.h is the circle progress <-> report.
unit() {
  sed -e 's/\.[a-z]*$//' -e 's/_\(posix\|linux\|win32\)$//'
}
units=$(echo "$edges" | while read -r from to; do
  a=$(echo "$from" | unit)
  b=$(echo "$to" | unit)
  [ "$a" != "$b" ] && echo "$a $b"
done)
if ! loop=$(echo "$units" | tsort 2>&1 > /dev/null) || [ -n "$loop" ]; then
  fail "includes go round in a circle: $(echo "$loop" | tr '\n' ' ')"
fi

# 3. No conditional compilation.
if matches=$(grep -nE '^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif)\b' $sources); then
  fail "conditional compilation: $matches"
fi

# 4. Linux-only interfaces stay out of *_posix files (comments aside).
linux_only='<linux/|<asm/|termios2|TC[GS]ETS2|TIOC[GS]SERIAL|serial_struct|prctl|eventfd|signalfd|ppoll|epoll|inotify|"/sys'
for file in $(echo "$sources" | grep '_posix\.'); do
  if matches=$(grep -nE "$linux_only" "$file" | grep -vE '^[0-9]+:[[:space:]]*//'); then
    fail "$file uses Linux-only interfaces: $matches"
  fi
done

if [ "$status" -eq 0 ]; then
  echo "Layout: includes point down, no circles, no #if, *_posix files are plain POSIX."
fi
exit "$status"
