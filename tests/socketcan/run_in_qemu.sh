#!/usr/bin/env bash
# Runs a program inside a small Linux guest that has a real kernel CAN stack,
# and answers with the program's exit status.
#
#   run_in_qemu.sh [--work DIR] [--copy PATH]... [--timeout SECONDS] -- PROGRAM [ARGS...]
#
# The guest is Debian's kernel (/boot/vmlinuz-<version>) booted under qemu
# with software emulation, and an initramfs built here from busybox, the CAN
# modules of that kernel, iproute2 (ip, tc), can-utils, PROGRAM and every
# shared library they need. Its init loads can, can-raw, can-dev and vcan (and
# sja1000 with kvaser_pci for the two emulated controllers can0 and can1 on
# one emulated CAN bus), creates and raises vcan0, runs PROGRAM as root in
# /data (where the --copy files are), prints a result line on the serial
# console and powers off.
#
# Exit status: PROGRAM's, 1 when the guest gave no result, or 77 (with a
# message saying what is missing) when qemu, the kernel or the tools are not
# installed: scripts/setup.sh --test installs them.
set -uo pipefail

SKIP=77
skip() {
  echo "SKIP: $*"
  exit $SKIP
}

work=""
timeout_s=900
copies=()
while [ $# -gt 0 ]; do
  case "$1" in
    --work) work="$2"; shift 2 ;;
    --copy) copies+=("$2"); shift 2 ;;
    --timeout) timeout_s="$2"; shift 2 ;;
    --) shift; break ;;
    *) echo "usage: $0 [--work DIR] [--copy PATH]... [--timeout S] -- PROGRAM [ARGS...]" >&2; exit 2 ;;
  esac
done
[ $# -ge 1 ] || { echo "$0: no program given" >&2; exit 2; }
program=$(readlink -f "$1")
shift
[ -x "$program" ] || { echo "$0: $program is not an executable" >&2; exit 2; }

qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 not found (package qemu-system-x86)"
busybox=$(command -v busybox) || skip "busybox not found (package busybox-static)"
for tool in ip tc; do
  [ -x "/usr/sbin/$tool" ] || [ -x "/sbin/$tool" ] || skip "$tool not found (package iproute2)"
done
for tool in candump cansend cangen; do
  command -v "$tool" >/dev/null || skip "$tool not found (package can-utils)"
done
command -v cpio >/dev/null || skip "cpio not found (package cpio)"

# A kernel whose modules include the CAN stack.
kernel=""
kver=""
for k in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V -r); do
  v=${k#/boot/vmlinuz-}
  if ls /lib/modules/"$v"/kernel/net/can/can.ko* >/dev/null 2>&1; then
    kernel=$k
    kver=$v
    break
  fi
done
[ -n "$kernel" ] || skip "no /boot/vmlinuz-* with CAN modules under /lib/modules (package linux-image-amd64)"
[ -r "$kernel" ] || skip "$kernel is not readable by $(id -un)"

[ -n "$work" ] || work=$(mktemp -d /tmp/socketcan-qemu-XXXXXX)
mkdir -p "$work" && work=$(cd "$work" && pwd)
root="$work/root"
rm -rf "$root"
mkdir -p "$root"/{bin,proc,sys,dev,tmp,data,prog,mods,usr/bin,usr/sbin}

# Copies an ELF file and the shared libraries it needs (with the loader) to
# the same paths inside the guest.
add_elf() {
  local src=$1 dst=$2
  mkdir -p "$root$(dirname "$dst")"
  cp -L "$src" "$root$dst"
  ldd "$src" 2>/dev/null | grep -o '/[^ ]*' | while read -r lib; do
    case "$lib" in
      /lib/* | /lib64/* | /usr/*)
        # System libraries and the loader keep their paths.
        if [ ! -e "$root$lib" ]; then
          mkdir -p "$root$(dirname "$lib")"
          cp -L "$lib" "$root$lib"
        fi
        ;;
      *)
        # The project's own libraries live in the build tree, which may be
        # anywhere (under /tmp, hidden by the guest's tmpfs): they go to
        # /prog/lib, which the guest puts on LD_LIBRARY_PATH.
        mkdir -p "$root/prog/lib"
        [ -e "$root/prog/lib/$(basename "$lib")" ] || cp -L "$lib" "$root/prog/lib/"
        ;;
    esac
  done
}

add_elf "$busybox" /bin/busybox
for tool in ip tc; do
  src=/usr/sbin/$tool
  [ -x "$src" ] || src=/sbin/$tool
  add_elf "$src" /usr/sbin/$tool
done
for tool in candump cansend cangen; do
  add_elf "$(command -v $tool)" /usr/bin/$tool
done
for tool in canplayer log2long; do  # optional: the monitor's log test uses them
  command -v $tool >/dev/null && add_elf "$(command -v $tool)" /usr/bin/$tool
done
add_elf "$program" "/prog/$(basename "$program")"
for c in "${copies[@]}"; do
  if [ -f "$c" ] && [ "$(head -c 4 "$c" | tail -c 3)" = "ELF" ]; then
    add_elf "$c" "/data/$(basename "$c")"  # a program: with the libraries it needs
  else
    cp -rL "$c" "$root/data/"
  fi
done

# Modules, uncompressed for busybox's insmod; the emulated controllers' ones
# are optional.
mods=(net/can/can net/can/can-raw drivers/net/can/dev/can-dev drivers/net/can/vcan
      drivers/net/can/sja1000/sja1000 drivers/net/can/sja1000/kvaser_pci)
for m in "${mods[@]}"; do
  base=/lib/modules/$kver/kernel/$m.ko
  name=$(basename "$m")
  if [ -f "$base" ]; then cp "$base" "$root/mods/$name.ko"
  elif [ -f "$base.xz" ]; then xz -dc "$base.xz" > "$root/mods/$name.ko"
  elif [ -f "$base.zst" ]; then zstd -qdc "$base.zst" > "$root/mods/$name.ko"
  elif [ -f "$base.gz" ]; then gzip -dc "$base.gz" > "$root/mods/$name.ko"
  fi
done
for m in can can-raw can-dev vcan; do
  [ -s "$root/mods/$m.ko" ] || skip "module $m of kernel $kver not found or not readable"
done

args=""
for a in "$@"; do args="$args '${a//\'/\'\\\'\'}'"; done
cat > "$root/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/usr/sbin:/usr/bin:/bin HOME=/tmp LD_LIBRARY_PATH=/prog/lib
$(for v in ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS GTEST_FILTER GTEST_COLOR; do
    [ -n "${!v:-}" ] && printf 'export %s=%q\n' "$v" "${!v}"
  done)
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
for m in can can-raw can-dev vcan sja1000 kvaser_pci; do
  [ -f /mods/\$m.ko ] && insmod /mods/\$m.ko
done
/usr/sbin/ip link set lo up
/usr/sbin/ip link add dev vcan0 type vcan && /usr/sbin/ip link set vcan0 up
cd /data
echo "guest: kernel \$(uname -r), running $(basename "$program")"
/prog/$(basename "$program")$args
rc=\$?
echo
echo "SOCKETCAN-QEMU-RESULT rc=\$rc"
sync
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet > "$work/initramfs.cpio") ||
  { echo "$0: building the initramfs failed" >&2; exit 1; }

log="$work/console.log"
echo "qemu: $kernel, initramfs $(du -h "$work/initramfs.cpio" | cut -f1), log $log"
timeout --kill-after=10 "$timeout_s" "$qemu" -accel tcg -m 2048 -smp 1 \
  -nodefaults -no-user-config -display none -serial stdio -no-reboot \
  -kernel "$kernel" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 panic=-1 loglevel=3 quiet" \
  -object can-bus,id=canbus0 \
  -device kvaser_pci,canbus=canbus0 -device kvaser_pci,canbus=canbus0 \
  < /dev/null > "$log" 2>&1
qrc=$?
tr -d '\r' < "$log" | grep -v '^\s*$'
rc=$(tr -d '\r' < "$log" | sed -n 's/.*SOCKETCAN-QEMU-RESULT rc=\([0-9]*\).*/\1/p' | tail -1)
if [ -z "$rc" ]; then
  echo "FAIL: the guest printed no result (qemu exit status $qrc; 124 is the time-out of ${timeout_s}s)"
  exit 1
fi
exit "$rc"
