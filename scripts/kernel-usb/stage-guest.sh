#!/bin/bash
# The kernel stage's guest side (run as root by run.sh, udevd running):
#   stage-guest.sh TESTS FILTER EMULATOR RULE
# 1. the suite as root (each test attaches its own units);
# 2. the real-time stream again on the simulated driver (the CPU reference);
# 3. a non-root user without access, then with RULE (the udev rule's group
#    alternative) installed, on units attached here.
# Prints "stage: <part> rc N" after each part; exits non-zero if any failed.
tests=$1 filter=$2 emulator=$3 rule=$4
status=0
part() {  # name, command...
  local name=$1; shift
  "$@"
  local rc=$?
  echo "stage: $name rc $rc"
  [ "$rc" = 0 ] || status=1
}
part suite "$tests" --gtest_filter="$filter"
part simulated env TRELVO_SIMULATE='12:all=counter' "$tests" --gtest_filter='Kernel.RealTimeStreamLosesNothing'

sock=/run/trelvo-stage-units.sock
"$emulator" --control "$sock" '12:ch1=dc(900)' >/run/stage-units.out &
units=$!
for _ in $(seq 1 400); do grep -q '^ready' /run/stage-units.out 2>/dev/null && break; sleep 0.05; done
udevadm settle -t 30
user=nobody
asuser() { setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups "$@"; }
part "non-root without access" env TRELVO_USBIP_CONTROL=$sock HOME=/tmp \
  setpriv --reuid=$user --regid="$(id -g $user)" --clear-groups "$tests" --gtest_filter='Access.RefusedWithADiagnostic'
group=$(sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' "$rule" | head -1)
# udev reads only files named *.rules; RULE may be a temporary name.
mkdir -p /run/udev/rules.d && cp "$rule" /run/udev/rules.d/70-trelvo-group.rules
udevadm control --reload
udevadm trigger --action=add --subsystem-match=usb
udevadm settle -t 30
ls -l /dev/bus/usb/*/ | grep -v ' 001$' | grep '^c' | head -3
part "non-root with the group rule" env TRELVO_USBIP_CONTROL=$sock HOME=/tmp \
  setpriv --reuid=$user --regid="$(id -g $user)" --groups="$(getent group "$group" | cut -d: -f3)" \
  "$tests" --gtest_filter='Access.OpensWithTheGroupRule'
kill $units
exit $status
