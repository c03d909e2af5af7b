#!/usr/bin/env bash
# The README's main command: installs what a fresh Debian machine lacks (as
# root, or through sudo), builds the library and the trelvo program (Release,
# in build-demo/), and runs a triggered capture of two channels on a simulated
# unit. Writes capture.csv and capture.png to the current directory and prints
# a summary of the capture.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build-demo"

echo "== Installing missing packages (if any)"
bash "$repo/scripts/setup.sh"

echo "== Building the library and the trelvo program (Release, $build)"
log=$(mktemp)
if ! { cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRELVO_BUILD_TESTS=OFF \
         && cmake --build "$build" --target trelvo_cli; } >"$log" 2>&1; then
  cat "$log"
  rm -f "$log"
  echo "demo: the build failed" >&2
  exit 1
fi
rm -f "$log"

# One simulated 12-bit unit: channel 1 a 25 Hz sine with a little noise,
# channel 2 a 10 Hz triangle. The capture triggers on channel 1 rising through
# mid-scale and centres the 100 ms block on the trigger.
echo "== Capturing: trelvo capture --simulate ... -c 1,2 -t 1 --delay -50 -o capture.csv -p capture.png"
"$build/tools/trelvo" capture \
  --simulate "12:ch1=sine(2048,1600,25hz,0,12);ch2=triangle(2048,1200,10hz)" \
  --channels 1,2 --block-time 100ms --readings 1000 \
  --trigger 1 --rising --threshold 2048 --delay -50 \
  --output capture.csv --plot capture.png
echo "Plot: $PWD/capture.png   CSV: $PWD/capture.csv"
