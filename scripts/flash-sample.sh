#!/bin/sh
# The main job: build korvel, its companions and the simulated device, flash
# the bundled sample firmware into the simulated device, and show that the
# device's flash memory now equals the image.
#
# It builds in a tree of its own (build/sample, preset "sample", no tests),
# so it needs no test framework and leaves scripts/test.sh's build/default
# alone: the two run in either order. Every program the README's examples
# use is built here, so they work after this command alone.
set -eu
cd "$(dirname "$0")/.."

# What the build needs, when it is missing (a no-op on a prepared machine):
# the companions read options with CLI11 and write JSON with nlohmann-json.
./scripts/install-packages.sh cmake ninja-build g++ libcli11-dev nlohmann-json3-dev

build=build/sample
echo "Building korvel, its companions and the simulated device in $build (a minute or two the first time)..."
mkdir -p "$build"
cmake --preset sample > "$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }
cmake --build --preset sample

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
image=samples/sample-firmware.bin

# The simulated device offers its line as a symlink, writes its flash to a
# file when korvel resets it, and then ends.
"$build/korvel-devsim" --link "$work/port" --flash-out "$work/flash.bin" \
  --exit-after-reset > "$work/devsim.out" &
devsim=$!
tries=0
while [ ! -e "$work/port" ]; do
  tries=$((tries + 1))
  if [ "$tries" -gt 100 ]; then
    echo "The simulated device did not start." >&2
    kill "$devsim" 2> /dev/null || true
    exit 1
  fi
  sleep 0.05
done

status=0
"$build/korvel" "$work/port" "$image" || status=$?
if [ "$status" -ne 0 ]; then
  kill "$devsim" 2> /dev/null || true
  wait "$devsim" 2> /dev/null || true
  echo "korvel ended with status $status." >&2
  exit "$status"
fi
wait "$devsim"

if cmp -s "$image" "$work/flash.bin"; then
  echo "The simulated device's flash equals $image ($(wc -c < "$image") bytes)."
  echo "The programs are in $build: korvel, korvel-check, korvel-ports, korvel-gang, korvel-devsim."
else
  echo "The simulated device's flash differs from $image." >&2
  exit 1
fi
