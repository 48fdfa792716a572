#!/bin/sh
# Fetches what the guest test suite boots: Debian's kernel (the package that
# linux-image-amd64 depends on) and busybox-static. Both are downloaded with
# apt-get download and unpacked with dpkg -x into a cache folder; nothing is
# installed on this machine. A package already unpacked there is not fetched
# again.
#   tests/guest/fetch-packages.sh CACHE_DIR
# Leaves CACHE_DIR/root (the unpacked trees) and CACHE_DIR/kernel-version
# (e.g. 6.1.0-57-amd64), the one the suite boots.
set -eu
cache=${1:?usage: fetch-packages.sh CACHE_DIR}
mkdir -p "$cache/root"
cache=$(cd "$cache" && pwd)

sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd=sudo

# The kernel package of the day, e.g. linux-image-6.1.0-57-amd64. A machine
# that has never read the package lists learns them first.
kernel_package() {
  apt-cache depends linux-image-amd64 2> /dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}
kernel=$(kernel_package)
if [ -z "$kernel" ]; then
  $sudo_cmd apt-get update -qq
  kernel=$(kernel_package)
fi
if [ -z "$kernel" ]; then
  # No package lists at all: boot what the cache holds, if anything.
  if [ -s "$cache/kernel-version" ]; then exit 0; fi
  echo "fetch-packages.sh: apt-cache knows no linux-image-amd64" >&2
  exit 1
fi

# The candidate versions of both packages, one "package version" a line.
versions=$(apt-cache policy "$kernel" busybox-static |
  sed -n 's/^\([^ ].*\):$/\1/p; s/^ *Candidate: //p' | paste -d ' ' - -)

# Downloads and unpacks |package| unless its stamp says it is there.
fetch() {
  package=$1
  version=$(printf '%s\n' "$versions" | sed -n "s/^$package //p")
  stamp="$cache/root/.fetched-$package-$version"
  [ -e "$stamp" ] && return 0
  download=$(mktemp -d)
  # apt's download user may not write into a folder of ours; the files are
  # handed over through a folder it may write to.
  chmod 777 "$download"
  (cd "$download" && apt-get download -q "$package" > /dev/null)
  dpkg -x "$download"/*.deb "$cache/root"
  rm -rf "$download"
  touch "$stamp"
}
fetch "$kernel"
fetch busybox-static

version=${kernel#linux-image-}
if [ ! -f "$cache/root/boot/vmlinuz-$version" ] || [ ! -d "$cache/root/lib/modules/$version" ]; then
  echo "fetch-packages.sh: $kernel holds no kernel or modules for $version" >&2
  exit 1
fi
echo "$version" > "$cache/kernel-version"
