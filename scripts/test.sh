#!/bin/sh
# Installs what the build and the tests need (Debian 12), builds, and runs
# every test suite. CI runs exactly this.
set -eu
cd "$(dirname "$0")/.."

# --- What the tests need -------------------------------------------------
packages="cmake ninja-build g++ libgtest-dev libgmock-dev strace"
missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2> /dev/null | grep -q "ok installed"; then
    missing="$missing $package"
  fi
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd=sudo
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq $missing > /dev/null
fi

# --- Native build and tests ----------------------------------------------
cmake --preset default
cmake --build --preset default
ctest --preset default -j2
