#!/usr/bin/env bash
# The libusb backend's costs against the simulated driver's, in one run:
#  - CPU time of the application process over a 10 s real-time stream of
#    20,000 readings/s (one channel), on a unit emulated under umockdev
#    (libusb backend, no TRELVO_SIMULATE) and on a simulated unit;
#  - TrelvoOpenUnit time on both;
#  - the download of a generated 290-record (6380-byte) image to an emulated
#    unit that runs another revision (TRELVO_FIRMWARE), from holding the CPU
#    in reset to releasing it, and the whole open around it.
# Prints min and median of RUNS runs (default 3). The emulation's own work
# runs in trelvo_umock_host, outside the measured process.
#
#   bench/usb_bench.sh [BUILD_DIR]     (default: build-bench, a Release build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
runs=${RUNS:-3}
seconds=${SECONDS_PER_RUN:-10}
py=/usr/bin/python3

if [ ! -x "$build/tests/trelvo_umock_host" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
nice -n 5 cmake --build "$build" -j2 --target trelvo_umock_host trelvo_stream_probe trelvo >/dev/null
host=$build/tests/trelvo_umock_host
probe=$build/tests/trelvo_stream_probe
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 289 data records of 16 bytes and the end record: 290 x 22 = 6380 bytes. The
# image is built into a second copy of the library (and also named by
# TRELVO_FIRMWARE for libraries that read it at run time).
imgbuild=$build-image290
mkdir -p "$imgbuild"
$py - "$imgbuild/image290.hex" <<'PY'
import sys
lines = []
for i in range(289):
    addr = i * 16
    data = bytes((addr + k * 7) & 0xFF for k in range(16))
    rec = bytes([16, addr >> 8, addr & 0xFF, 0]) + data
    lines.append(":" + rec.hex().upper() + "%02X" % ((-sum(rec)) & 0xFF))
lines.append(":00000001FF")
open(sys.argv[1], "w").write("\n".join(lines) + "\n")
PY
cmake -S "$root" -B "$imgbuild" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRELVO_BUILD_TOOLS=OFF \
  -DTRELVO_FIRMWARE_HEX="$imgbuild/image290.hex" >/dev/null
nice -n 5 cmake --build "$imgbuild" -j2 --target trelvo_stream_probe >/dev/null

for i in $(seq "$runs"); do
  TRELVO_SIMULATE=1 "$probe" "$seconds" | sed 's/^/sim /' >>"$work/results"
  env -u TRELVO_SIMULATE "$host" -- "$probe" "$seconds" | grep '^open_ms' | sed 's/^/usb /' >>"$work/results"
  TRELVO_FIRMWARE="$imgbuild/image290.hex" env -u TRELVO_SIMULATE "$host" --rev2 --delay 300 \
    -- "$imgbuild/tests/trelvo_stream_probe" 0 \
    | sed -n 's/^open_ms \([0-9.]*\).*/dlopen \1/p; s/.*download \([0-9.]*\) ms (\([0-9]*\) records.*/download \1 \2/p' \
    >>"$work/results"
done

$py - "$work/results" "$seconds" <<'PY'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1])]
secs = float(sys.argv[2])
def stat(vals):
    return "min %8.2f  median %8.2f" % (min(vals), statistics.median(vals)) if vals else "no data"
def col(kind, key):
    out = []
    for r in rows:
        if r[0] == kind and key in r:
            out.append(float(r[r.index(key) + 1]))
    return out
sim_cpu, usb_cpu = col("sim", "cpu_s"), col("usb", "cpu_s")
print("stream of %g s at 20,000 readings/s, CPU seconds of the application process:" % secs)
print("  simulated driver      ", stat(sim_cpu))
print("  libusb + umockdev unit", stat(usb_cpu))
if sim_cpu and usb_cpu:
    print("  ratio of medians libusb/simulated: %.2f" % (statistics.median(usb_cpu) / statistics.median(sim_cpu)))
print("readings delivered (median): sim %d, libusb %d" % (statistics.median(col("sim", "readings") or [0]),
                                                       statistics.median(col("usb", "readings") or [0])))
print("TrelvoOpenUnit, ms:")
print("  simulated driver      ", stat(col("sim", "open_ms")))
print("  libusb + umockdev unit", stat(col("usb", "open_ms")))
dl = [float(r[1]) for r in rows if r[0] == "download"]
recs = [r[2] for r in rows if r[0] == "download"]
print("download of the 290-record, 6380-byte image to an emulated unit, ms (records written: %s):" % ",".join(sorted(set(recs))))
print("  CPU reset to release  ", stat(dl))
print("  whole TrelvoOpenUnit  ", stat([float(r[1]) for r in rows if r[0] == "dlopen"]))
PY
