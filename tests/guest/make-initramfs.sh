#!/bin/sh
# Builds the guest's initial RAM file system around a freshly built korvel:
# busybox, korvel (and the companions given after OUT_DIR, beside it in
# /bin) and this machine's tc (iproute2's: busybox's knows no netem) with
# the shared libraries they load, the USB serial and network driver modules
# and netem with everything they depend on, the guest's init
# (tests/guest/init) and the test's data files.
#   tests/guest/make-initramfs.sh CACHE_DIR KORVEL DATA_DIR OUT_DIR [PROGRAM...]
# CACHE_DIR is what fetch-packages.sh left. Writes OUT_DIR/initramfs.cpio
# (uncompressed: unpacking is quicker than inflating under emulation) and
# OUT_DIR/vmlinuz, the kernel to boot with it.
set -eu
cache=$(cd "$1" && pwd)
korvel=$2
data=$3
out=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)

fail() {
  echo "make-initramfs.sh: $*" >&2
  exit 1
}
[ -s "$cache/kernel-version" ] || fail "no kernel in $cache: run tests/guest/fetch-packages.sh"
version=$(cat "$cache/kernel-version")
modules=$cache/root/lib/modules/$version
busybox=$cache/root/bin/busybox
[ -d "$modules" ] || fail "no modules for $version in $cache"
[ -x "$busybox" ] || fail "no busybox in $cache: run tests/guest/fetch-packages.sh"
[ -x "$korvel" ] || fail "no korvel at $korvel"
tc=$(command -v tc || echo /usr/sbin/tc)
[ -x "$tc" ] || fail "no tc on this machine (Debian: iproute2)"

root=$out/root
rm -rf "$root"
mkdir -p "$root/bin" "$root/lib/modules" "$root/etc" "$root/data"

# --- Programs ------------------------------------------------------------------
cp "$busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
# A program (to path $2 in the guest) with every library the loader maps
# for it, and the loader itself, at the paths the binary names them by.
copy_program() {
  mkdir -p "$root$(dirname "$2")"
  cp "$1" "$root$2"
  for library in $(ldd "$1" | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
  done
}
copy_program "$korvel" /bin/korvel
# The companions beside it: korvel-gang runs the korvel in its own folder.
for program in "$@"; do
  [ -x "$program" ] || fail "no program at $program"
  copy_program "$program" "/bin/$(basename "$program")"
done
# Not in /bin, where busybox puts its own tc.
copy_program "$tc" /usr/sbin/tc

# --- Driver modules ------------------------------------------------------------
# Names in a module's "depends" use '-' or '_' as its file does; look for both.
module_file() {
  for name in "$1" "$(echo "$1" | tr _ -)" "$(echo "$1" | tr - _)"; do
    found=$(find "$modules/kernel" -name "$name.ko" -o -name "$name.ko.*" | head -n 1)
    if [ -n "$found" ]; then
      echo "$found"
      return 0
    fi
  done
  fail "no module $1 in $modules"
}

# Copies a module as a plain .ko (busybox's insmod takes no compressed ones).
copy_module() {
  case $1 in
    *.ko) cp "$1" "$2" ;;
    *.ko.xz) xz -dc "$1" > "$2" ;;
    *.ko.zst) zstd -qdc "$1" > "$2" ;;
    *.ko.gz) gzip -dc "$1" > "$2" ;;
    *) fail "unknown module format: $1" ;;
  esac
}

# Adds a module after the modules it depends on (its .modinfo section's
# depends= entry), each once; /etc/modules lists them in loading order. The
# name stays in the call's own "$1" across the recursion.
loaded=" "
add_module() {
  set -- "$(echo "$1" | tr _ -)"
  case $loaded in *" $1 "*) return 0 ;; esac
  file=$(module_file "$1")
  copy_module "$file" "$root/lib/modules/$1.ko"
  for dependency in $(tr '\0' '\n' < "$root/lib/modules/$1.ko" | sed -n 's/^depends=//p' | tr , ' '); do
    add_module "$dependency"
  done
  loaded="$loaded$1 "
  echo "$1" >> "$root/etc/modules"
}
for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio e1000 sch_netem; do
  add_module "$module"
done

# --- Init and data ---------------------------------------------------------------
cp "$here/init" "$root/init"
chmod 755 "$root/init"
cp -R "$data/." "$root/data/"

(cd "$root" && find . | cpio -o -H newc --quiet) > "$out/initramfs.cpio"
ln -sf "$cache/root/boot/vmlinuz-$version" "$out/vmlinuz"
rm -rf "$root"
