#!/usr/bin/env bash
# Builds the library and runs every test suite: a plain build, one under
# AddressSanitizer + UndefinedBehaviorSanitizer and one under ThreadSanitizer,
# then the extra stages in scripts/stages/ (in name order).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh
jobs=$(nproc)

export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_suite() {  # name, extra cmake arguments...
  local name=$1; shift
  echo "=== $name build ==="
  cmake -S . -B "build-ci-$name" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "build-ci-$name" -j "$jobs" 2>&1 | grep -E 'warning|error' && { echo "compiler warnings or errors in $name build"; return 1; } || true
  cmake --build "build-ci-$name" -j "$jobs" >/dev/null
  echo "=== $name tests ==="
  ctest --test-dir "build-ci-$name" -j "$((jobs * 2))" --output-on-failure --timeout 300
}

run_suite plain
run_suite asan -DTRELVO_SANITIZE="address;undefined"
run_suite tsan -DTRELVO_SANITIZE=thread -DTRELVO_BUILD_TOOLS=OFF

for stage in scripts/stages/*.sh; do
  [ -e "$stage" ] || continue
  echo "=== stage $(basename "$stage") ==="
  bash "$stage" "$root"
done
echo "All test suites passed."
