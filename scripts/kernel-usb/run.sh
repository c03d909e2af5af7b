#!/usr/bin/env bash
# Runs a program inside a QEMU guest on Debian's own kernel (TCG, no KVM
# needed), with emulated Trelvo units attached through vhci-hcd, so the
# library goes through usbfs, the hub driver, udev and a host controller.
#
#   scripts/kernel-usb/run.sh [--units UNITS] [--user NAME] [--no-udevd] [--share DIR]
#                             [--groups G1,G2] [--rule FILE] [--env NAME=VALUE]
#                             [--timeout S] -- PROGRAM [ARGS...]
#
# UNITS is written as TRELVO_SIMULATE is (one emulated unit per listed unit).
# The guest sees the host's root read-only, DIR (repeatable) writable at the
# same path, a fresh /tmp and /run. PROGRAM (a host path) runs with
# TRELVO_SIMULATE unset, as root or as NAME (with the extra groups G1,G2),
# after systemd-udevd has started (unless --no-udevd) and FILE was installed
# as a udev rule. TRELVO_USBIP_CONTROL names the emulator's control socket.
# The program's output is printed; the exit status is the program's, or 125
# when the guest could not run it. See scripts/kernel-usb/README.md.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
units="" user="" groups="" udevd=1 rule="" timeout_s=${TRELVO_KERNEL_TIMEOUT:-600}
shares=() envs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --units) units=$2; shift 2 ;;
    --user) user=$2; shift 2 ;;
    --groups) groups=$2; shift 2 ;;
    --no-udevd) udevd=0; shift ;;
    --share) shares+=("$(cd "$2" && pwd)"); shift 2 ;;
    --rule) rule=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    --env) envs+=("$2"); shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -ge 1 ] || { echo "usage: run.sh [options] -- PROGRAM [ARGS...]" >&2; exit 2; }
program=$1
shift
case "$program" in */*) [ -e "$program" ] && program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program") ;; esac
set -- "$program" "$@"

# ---- What the host needs ----
need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
ls /boot/vmlinuz-* >/dev/null 2>&1 || need+=(linux-image-amd64)
# (the list is taken whole first: grep -q leaving early would make busybox
# fail on a closed pipe, and pipefail count that as missing)
applets=$([ -x /bin/busybox ] && /bin/busybox --list 2>/dev/null || true)
grep -qx insmod <<<"$applets" || need+=(busybox-static)
if [ ${#need[@]} -gt 0 ]; then
  echo "run.sh: installing ${need[*]}" >&2
  if [ "$(id -u)" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}" >&2 || true
  else
    sudo -n env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}" >&2 || true
  fi
fi
kv=${TRELVO_KERNEL_VERSION:-$(ls /lib/modules 2>/dev/null | sort -V | tail -1)}
[ -n "$kv" ] && [ -r "/boot/vmlinuz-$kv" ] || { echo "run.sh: no readable Debian kernel (/boot/vmlinuz-*)" >&2; exit 125; }
command -v qemu-system-x86_64 >/dev/null || { echo "run.sh: qemu-system-x86_64 missing" >&2; exit 125; }

# The emulator: from a build of this tree, or built here.
emulator=${TRELVO_USBIP_UNITS:-}
if [ -z "$emulator" ]; then
  for b in build-ci-plain build-plain build; do
    [ -x "$root/$b/tests/trelvo_usbip_units" ] && { emulator=$root/$b/tests/trelvo_usbip_units; break; }
  done
fi
if [ -z "$emulator" ] && [ -n "$units" ]; then
  echo "run.sh: building the unit emulator in build-kernel-usb/" >&2
  cmake -S "$root" -B "$root/build-kernel-usb" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$root/build-kernel-usb" --target trelvo_usbip_units >&2
  emulator=$root/build-kernel-usb/tests/trelvo_usbip_units
fi

# ---- The initramfs (kept per kernel version) ----
cache=${TRELVO_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/trelvo-kernel-usb}
mkdir -p "$cache"
initrd=$cache/initramfs-$kv.cpio.gz
if [ ! -s "$initrd" ] || [ "$initrd" -ot "$here/init" ] || [ "$initrd" -ot "$0" ]; then
  w=$(mktemp -d)
  mkdir -p "$w"/{bin,dev,proc,sys,newroot,lib/modules}
  cp /bin/busybox "$w/bin/busybox"
  for m in virtio_pci 9pnet_virtio 9p usbip-core vhci-hcd; do
    modprobe -S "$kv" --show-depends "$m" | awk '$1=="insmod"{print $2}'
  done | awk '!seen[$0]++' | while read -r ko; do
    b=$(basename "$ko")
    case "$ko" in
      *.xz) xz -dc "$ko" >"$w/lib/modules/${b%.xz}"; b=${b%.xz} ;;
      *.zst) zstd -dcq "$ko" >"$w/lib/modules/${b%.zst}"; b=${b%.zst} ;;
      *) cp "$ko" "$w/lib/modules/" ;;
    esac
    echo "$b" >>"$w/lib/modules/order"
  done
  cp "$here/init" "$w/init"
  chmod +x "$w/init"
  (cd "$w" && find . | cpio -o -H newc --quiet | gzip -1 >"$initrd.new") && mv "$initrd.new" "$initrd"
  rm -rf "$w"
fi

# ---- The job: what the guest runs ----
job=$(mktemp -d "${TMPDIR:-/tmp}/trelvo-kernel-job.XXXXXX")
trap 'rm -rf "$job"' EXIT
{
  printf 'UNITS=%q\nRUN_USER=%q\nRUN_GROUPS=%q\nUDEVD=%q\nRULE=%q\nEMULATOR=%q\n' \
    "$units" "$user" "$groups" "$udevd" "$rule" "$emulator"
  printf 'SHARES=(' ; for s in "${shares[@]+"${shares[@]}"}"; do printf '%q ' "$s"; done; printf ')\n'
  printf 'ENVS=(' ; for e in "${envs[@]+"${envs[@]}"}"; do printf '%q ' "$e"; done; printf ')\n'
  printf 'PROGRAM=(' ; for a in "$@"; do printf '%q ' "$a"; done; printf ')\n'
} >"$job/job.env"
fsdev=() i=0
for s in "${shares[@]+"${shares[@]}"}"; do
  fsdev+=(-fsdev "local,id=s$i,path=$s,security_model=none,multidevs=remap"
          -device "virtio-9p-pci,fsdev=s$i,mount_tag=share$i")
  i=$((i + 1))
done
set +e
timeout "$timeout_s" qemu-system-x86_64 -accel tcg -smp 1 -m 1024 -nographic -no-reboot -nic none \
  -kernel "/boot/vmlinuz-$kv" -initrd "$initrd" \
  -append "console=ttyS0 panic=-1 quiet loglevel=1 trelvo.guest=$here/guest.sh" \
  -fsdev local,id=hr,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=hr,mount_tag=hostroot \
  -fsdev "local,id=job,path=$job,security_model=none" -device virtio-9p-pci,fsdev=job,mount_tag=job \
  "${fsdev[@]+"${fsdev[@]}"}" >"$job/console.log" 2>&1 </dev/null
q=$?
set -e
[ -f "$job/output" ] && cat "$job/output"
if [ ! -f "$job/rc" ]; then
  echo "run.sh: the guest did not run the program (qemu status $q); console:" >&2
  tail -n 30 "$job/console.log" >&2
  exit 125
fi
[ -n "${TRELVO_KERNEL_VERBOSE:-}" ] && cat "$job/guest.log" >&2
exit "$(cat "$job/rc")"
