#!/usr/bin/env bash
# Figures of `trelvo log`, all taken in one run of this script:
#   1. CPU time of recording 4 simulated real-time units x 20,000 readings/s
#      (one channel each) for DURATION seconds, as a share of one core;
#   2. readings per second written from a fast simulated unit (one channel)
#      by `trelvo log`, and by `trelvo capture -m stream` to a CSV file, side
#      by side on the same machine; and the two writers alone on synthetic
#      readings (bench/recorder_throughput.cpp, built with TRELVO_BUILD_BENCH);
#   3. bytes on disk per reading of both recordings;
#   4. readings lost after a SIGKILL: the readings that should have been on
#      disk at the kill, minus those the file holds (5 kills).
# Usage: bench/log_bench.sh BUILD_DIR [DURATION_S (default 60)]
# (BUILD_DIR: a Release build with the trelvo program, e.g. configured with
# -DCMAKE_BUILD_TYPE=Release -DTRELVO_BUILD_BENCH=ON.)
set -euo pipefail
build=${1:?usage: bench/log_bench.sh BUILD_DIR [DURATION_S]}
duration=${2:-60}
trelvo="$build/tools/trelvo"
[ -x "$trelvo" ] || { echo "no $trelvo: build the trelvo program first" >&2; exit 2; }
python=/usr/bin/python3
work=$(mktemp -d /tmp/trelvo-log-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
export TRELVO_LOCK_DIR="$work/locks"
mkdir -p "$TRELVO_LOCK_DIR"
unset TRELVO_SIMULATE

rows() {  # readings per channel in a log file (SWMR read mode for killed ones)
  "$python" - "$1" <<'EOF'
import sys, h5py
try:
    f = h5py.File(sys.argv[1], "r")
except OSError:
    f = h5py.File(sys.argv[1], "r", swmr=True)
print(sum(f[g]["values"].shape[0] for g in f))
EOF
}

echo "== 1. CPU: 4 real-time units x 20,000 readings/s, ${duration} s"
/usr/bin/time -f "%U %S %e" -o "$work/time" "$trelvo" log --simulate 12,12,12,12 \
  -u 1,2,3,4 -c 1 -b 1s -n 20000 -d "${duration}s" -q -o "$work/four.h5"
read -r user sys wall < "$work/time"
recorded=$(rows "$work/four.h5")
"$python" - "$user" "$sys" "$wall" "$recorded" "$(stat -c %s "$work/four.h5")" <<'EOF'
import sys
user, sys_, wall, rows, size = map(float, sys.argv[1:])
print(f"  {rows:.0f} readings in {wall:.1f} s; CPU {user + sys_:.2f} s "
      f"(user {user:.2f}, system {sys_:.2f}) = {100 * (user + sys_) / wall:.2f} % of one core")
print(f"  file {size / 1e6:.2f} MB, {size / rows:.3f} bytes per reading")
EOF

echo "== 2. Throughput: a fast unit, one channel, 3000 s of the unit's time (60 M readings)"
fast='12:fast;ch1=counter'
start=$(date +%s.%N)
"$trelvo" log --simulate "$fast" -c 1 -b 50ms -n 1000000 -d 3000s -o "$work/fast.h5" \
  > "$work/fast.txt"
end=$(date +%s.%N)
logRows=$(rows "$work/fast.h5")
recording=$(sed -n 's/^Recorded .* for \([0-9.]*\) s.*/\1/p' "$work/fast.txt")
start2=$(date +%s.%N)
"$trelvo" capture --simulate "$fast" -c 1 -b 50ms -n 1000000 -m stream -d 3000s -q \
  -o "$work/fast.csv"
end2=$(date +%s.%N)
csvRows=$(($(wc -l < "$work/fast.csv") - 1))
"$python" - "$start" "$end" "$logRows" "$start2" "$end2" "$csvRows" \
  "$(stat -c %s "$work/fast.h5")" "$(stat -c %s "$work/fast.csv")" "$recording" <<'EOF'
import sys
s1, e1, r1, s2, e2, r2, b1, b2, rec = map(float, sys.argv[1:])
print(f"  trelvo log (HDF5):      {r1:.0f} readings in {e1 - s1:.2f} s = "
      f"{r1 / (e1 - s1) / 1e6:.2f} M readings/s ({r1 / rec / 1e6:.2f} M/s over its "
      f"{rec:.2f} s of recording), {b1 / r1:.3f} bytes per reading")
print(f"  trelvo capture (CSV):   {r2:.0f} readings in {e2 - s2:.2f} s = "
      f"{r2 / (e2 - s2) / 1e6:.2f} M readings/s, {b2 / r2:.3f} bytes per reading")
print(f"  log / csv: {(r1 / (e1 - s1)) / (r2 / (e2 - s2)):.2f}x "
      "(both include opening the unit, about 0.7 s; the simulated unit sets the pace)")
EOF
if [ -x "$build/bench/recorder_throughput" ]; then
  echo "   the writers alone (recorder_throughput, synthetic readings):"
  "$build/bench/recorder_throughput" "$work" 200 | sed 's/^/  /'
else
  echo "   (configure with -DTRELVO_BUILD_BENCH=ON for the writers alone: recorder_throughput)"
fi

echo "== 3. Readings lost after a SIGKILL (real-time unit, 20,000 readings/s)"
for delay in 1.3 2.1 2.9 3.7 4.5; do
  out="$work/kill$delay.h5"
  "$trelvo" log --simulate 12 -c 1 -b 1s -n 20000 -q -o "$out" &
  pid=$!
  while [ ! -e "$out" ]; do sleep 0.01; done
  born=$(date +%s.%N)
  sleep "$delay"
  kill -KILL "$pid"
  killed=$(date +%s.%N)
  wait "$pid" 2>/dev/null || true
  got=$(rows "$out")
  "$python" - "$born" "$killed" "$got" <<'EOF'
import sys
born, killed, got = map(float, sys.argv[1:])
# The stream starts shortly after the file is created; everything up to the
# kill was taken by the unit.
expected = (killed - born) * 20000
print(f"  killed {killed - born:.2f} s after the file appeared: {got:.0f} readings on disk, "
      f"at most {max(0, expected - got):.0f} missing ({max(0, expected - got) / 20000:.2f} s)")
EOF
done
