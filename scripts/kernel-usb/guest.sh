#!/bin/bash
# Runs in the guest (chrooted into the host's root): mounts the shared
# folders, starts udevd, attaches the emulated units and runs the program.
# Writes its output to /tmp/job/output, its status to /tmp/job/rc.
source /tmp/job/job.env
# udevadm does nothing in a chroot unless told otherwise: without this its
# settle, trigger and control requests (a reload of the rules) are ignored.
export SYSTEMD_IGNORE_CHROOT=1
log=/tmp/job/guest.log
up() { cut -d' ' -f1 /proc/uptime; }
echo "boot $(up)" >"$log"
i=0
for s in "${SHARES[@]}"; do
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 "share$i" "$s" || echo "share $s not mounted" >>"$log"
  i=$((i + 1))
done
mount -t tmpfs tmpfs /var/tmp 2>/dev/null
if [ -n "$RULE" ]; then
  # udev reads only files named *.rules.
  mkdir -p /run/udev/rules.d && cp "$RULE" "/run/udev/rules.d/$(basename "$RULE" .rules).rules"
fi
if [ "$UDEVD" = 1 ]; then
  /lib/systemd/systemd-udevd --daemon 2>>"$log"
  udevadm trigger --action=add >/dev/null 2>&1
  udevadm settle -t 30
  echo "udevd $(up)" >>"$log"
fi
export TRELVO_USBIP_CONTROL=/run/trelvo-usbip.sock
if [ -n "$UNITS" ]; then
  t0=$(up)
  "$EMULATOR" --control "$TRELVO_USBIP_CONTROL" "$UNITS" >/run/units.out 2>>"$log" &
  for _ in $(seq 1 600); do
    grep -q '^ready' /run/units.out 2>/dev/null && break
    kill -0 $! 2>/dev/null || break
    sleep 0.05
  done
  if ! grep -q '^ready' /run/units.out 2>/dev/null; then
    echo "the emulated units did not come up" >>"$log"
    echo "run.sh: the emulated units ($UNITS) did not come up" >/tmp/job/output
    cat "$log" >>/tmp/job/output
    echo 125 >/tmp/job/rc
    exit 0
  fi
  [ "$UDEVD" = 1 ] && udevadm settle -t 30
  echo "units $t0 $(up)" >>"$log"
fi
cd /tmp
runas=()
if [ -n "$RUN_USER" ]; then
  runas=(setpriv --reuid="$RUN_USER" --regid="$(id -g "$RUN_USER")" --init-groups)
  [ -n "$RUN_GROUPS" ] && runas=(setpriv --reuid="$RUN_USER" --regid="$(id -g "$RUN_USER")" --groups="$RUN_GROUPS")
fi
echo "program $(up)" >>"$log"
env -u TRELVO_SIMULATE HOME=/tmp "${ENVS[@]}" "${runas[@]}" "${PROGRAM[@]}" >/tmp/job/output 2>&1
rc=$?
echo "end $(up) rc $rc" >>"$log"
echo "$rc" >/tmp/job/rc
