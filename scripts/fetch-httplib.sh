#!/bin/sh
# Fetches cpp-httplib's single header for the Windows build of korvel-gang.
# Debian's libcpp-httplib-dev is a header of declarations with a shared
# library beside it, which a MinGW build can't link; Debian's source package
# of the same version holds the upstream header-only httplib.h, which
# dpkg-source unpacks with Debian's own patches applied. The source package
# comes through a private apt configuration with deb-src twins of this
# machine's sources: the machine's own apt setup is left as it is.
#   scripts/fetch-httplib.sh DIR
# Leaves DIR/httplib.h; one that is there already is kept.
set -eu
dir=${1:?usage: fetch-httplib.sh DIR}
[ -s "$dir/httplib.h" ] && exit 0
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# The version the native build links, so that both builds serve alike.
version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 1. deb-src twins of the machine's sources, one-line and deb822 alike.
mkdir -p "$work/sources.list.d" "$work/lists/partial" "$work/source"
for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$list" ] && sed -n 's/^deb /deb-src /p' "$list" >> "$work/sources.list.d/twins.list"
done
for sources in /etc/apt/sources.list.d/*.sources; do
  [ -f "$sources" ] && sed 's/^Types:.*/Types: deb-src/' "$sources" > "$work/sources.list.d/$(basename "$sources")"
done
apt_private() {
  apt-get -q -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/sources.list.d" \
    -o Dir::State::Lists="$work/lists" -o APT::Sandbox::User=root "$@"
}

# 2. The source package, unpacked with its patches.
apt_private update > /dev/null
(cd "$work/source" && apt_private source --download-only "cpp-httplib=$version" > /dev/null)
# apt has checked the files against the archive's signed index; dpkg-source
# would check the uploader's signature too, with a keyring this machine
# need not have: its words go to a log shown only when it fails.
if ! dpkg-source -x "$work"/source/cpp-httplib_*.dsc "$work/source/tree" > "$work/unpack.log" 2>&1; then
  cat "$work/unpack.log" >&2
  exit 1
fi
cp "$work/source/tree/httplib.h" "$dir/httplib.h"
echo "cpp-httplib $version: $dir/httplib.h"
