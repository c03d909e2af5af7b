#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) in their own build directory and runs each
# for a short, fixed time. Any crash or broken invariant fails the stage.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
build="$root/build-ci-fuzz"
decoder_seconds=${TRELVO_FUZZ_SECONDS:-30}
scan_seconds=${TRELVO_FUZZ_SCAN_SECONDS:-15}
diff_seconds=${TRELVO_FUZZ_DIFF_SECONDS:-10}
hex_seconds=${TRELVO_FUZZ_HEX_SECONDS:-10}
usb_seconds=${TRELVO_FUZZ_USB_SECONDS:-10}
serve_seconds=${TRELVO_FUZZ_SERVE_SECONDS:-10}
usbip_seconds=${TRELVO_FUZZ_USBIP_SECONDS:-5}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTRELVO_SANITIZE="address;undefined" -DTRELVO_BUILD_FUZZ=ON \
  -DTRELVO_BUILD_TESTS=OFF -DTRELVO_BUILD_TOOLS=OFF >/dev/null
log="$build/fuzz-build.log"
cmake --build "$build" --target decoder_fuzz decoder_diff_fuzz scan_fuzz hex_fuzz usb_records_fuzz serve_protocol_fuzz usbip_fuzz >"$log" 2>&1 || { cat "$log"; exit 1; }
if grep -E 'warning' "$log"; then
  echo "compiler warnings in the fuzz build"
  exit 1
fi

export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run() {  # target, seconds, extra libFuzzer arguments
  local target=$1 seconds=$2
  shift 2
  local corpus="$build/corpus-$target"
  mkdir -p "$corpus"
  echo "--- $target for $seconds s"
  "$build/fuzz/$target" -max_total_time="$seconds" -max_len=16384 -print_final_stats=1 "$@" "$corpus" \
    2>"$build/$target.log" \
    || { tail -n 60 "$build/$target.log"; exit 1; }
  grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' "$build/$target.log" || true
}
run decoder_fuzz "$decoder_seconds"
run decoder_diff_fuzz "$diff_seconds"
run scan_fuzz "$scan_seconds"
# The HEX reader starts from the bundled firmware file and the format's tokens.
mkdir -p "$build/corpus-hex_fuzz"
cp "$root/firmware/trelvo_fw.hex" "$build/corpus-hex_fuzz/bundled.hex"
run hex_fuzz "$hex_seconds" -dict="$root/fuzz/hex.dict"
run usb_records_fuzz "$usb_seconds"
# The live view's client messages and frames, from a valid message and the protocol's words.
mkdir -p "$build/corpus-serve_protocol_fuzz"
printf '%s' '{"type":"run","unit":1,"method":"stream","channels":[1,2],"block_time_us":100000,"readings":1000,"trigger":{"channel":1,"rising":true,"threshold":2048,"delay":-50,"auto_ms":0}}' \
  >"$build/corpus-serve_protocol_fuzz/run.json"
run serve_protocol_fuzz "$serve_seconds" -dict="$root/fuzz/serve.dict"
run usbip_fuzz "$usbip_seconds"
