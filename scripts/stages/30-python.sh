#!/usr/bin/env bash
# The Python package: its pytest suite against simulated units, with the
# library of the plain CI build (built here when that build is missing), and
# an offline pip install into a throwaway virtual environment.
# Debian's /usr/bin/python3 is used on purpose: the python3 first on PATH may
# be another build that cannot see Debian's numpy and pytest.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
root=$(cd "$root" && pwd)
python=/usr/bin/python3

library="$root/build-ci-plain/src/libtrelvo.so.1"
if [ ! -e "$library" ]; then
  build="$root/build-ci-python"
  echo "--- no plain CI build: building the library in $build"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTRELVO_BUILD_TESTS=OFF -DTRELVO_BUILD_TOOLS=OFF >/dev/null
  cmake --build "$build" --target trelvo >/dev/null
  library="$build/src/libtrelvo.so.1"
fi
export TRELVO_LIBRARY="$library"

echo "--- pytest (library $library)"
venv=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$venv" "$work"' EXIT
status=0
(cd "$root/python" && timeout 900 "$python" -m pytest -q -p no:cacheprovider --basetemp="$work/pytest" tests) \
  || status=$?
if [ "$status" -eq 5 ]; then
  echo "pytest collected no tests: failing the stage"
  exit 1
elif [ "$status" -ne 0 ]; then
  exit "$status"
fi

echo "--- offline install into a throwaway virtual environment"
mkdir "$work/source"
cp -r "$root/python/." "$work/source/"
rm -rf "$work/source/build" "$work/source"/*.egg-info
"$python" -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --quiet --no-build-isolation --no-index "$work/source"
(cd "$venv" && "$venv/bin/python" -m trelvo --simulate 12,10)
