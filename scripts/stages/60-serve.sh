#!/usr/bin/env bash
# trelvo serve: its protocol tests (a WebSocket client) and its browser tests
# (headless Chromium through Selenium) against simulated units, with the
# program of the plain CI build (built here when that build is missing), or
# of the build directory given second. The browser tests' screenshot is kept
# in <build>/serve-artefacts/.
# Usage: 60-serve.sh [ROOT [BUILD_DIR]]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
root=$(cd "$root" && pwd)
python=/usr/bin/python3

build="${2:-$root/build-ci-plain}"
if [ -n "${2:-}" ]; then
  [ -x "$build/tools/trelvo" ] || { echo "no trelvo program in $build/tools" >&2; exit 1; }
  build=$(cd "$build" && pwd)
fi
if [ ! -x "$build/tools/trelvo" ]; then
  build="$root/build-ci-serve"
  echo "--- no plain CI build: building the trelvo program in $build"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTRELVO_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target trelvo_cli >/dev/null
fi
export TRELVO_CLI="$build/tools/trelvo"
export TRELVO_SERVE_ARTEFACTS="$build/serve-artefacts"
mkdir -p "$TRELVO_SERVE_ARTEFACTS"

if ! "$python" -c 'import websocket' 2>/dev/null; then
  echo "--- skipped: python3-websocket is not installed (scripts/packages.extra lists it)"
  exit 0
fi
tests=("$root/tests/serve/test_protocol.py")
# The browser tests need a Chromium that starts here (headless, no sandbox).
if "$python" - <<'PY' >"$TRELVO_SERVE_ARTEFACTS/chromium-check.log" 2>&1
import os
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
options = webdriver.ChromeOptions()
for argument in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage"]:
    options.add_argument(argument)
driver = webdriver.Chrome(service=Service(os.environ.get("TRELVO_CHROMEDRIVER",
                                                         "/usr/bin/chromedriver")),
                          options=options)
driver.get("about:blank")
driver.quit()
PY
then
  tests+=("$root/tests/serve/test_browser.py")
else
  echo "--- browser tests skipped: headless Chromium does not start here ($(tail -n 1 "$TRELVO_SERVE_ARTEFACTS/chromium-check.log"))"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "--- pytest ${tests[*]##*/} (program $TRELVO_CLI)"
status=0
(cd "$root/tests/serve" && "$python" -m pytest -q -p no:cacheprovider --basetemp="$work/pytest" \
  "${tests[@]}") || status=$?
if [ "$status" -eq 5 ]; then
  echo "pytest collected no tests: failing the stage"
  exit 1
fi
[ -e "$TRELVO_SERVE_ARTEFACTS/serve-browser.png" ] && echo "--- screenshot: $TRELVO_SERVE_ARTEFACTS/serve-browser.png"
exit "$status"
