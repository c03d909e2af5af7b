#!/usr/bin/env bash
# Trelvo.dll for 32-bit Windows: cross-builds it with mingw-w64 (i686, posix
# threads), checks its export table and runtime dependencies, and runs the
# Windows test programs under Wine. Installs the cross compiler and Wine
# (Debian packages) when they are missing.
#   bash scripts/stages/50-windows.sh [repo root]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"
build=$root/build-ci-win32
triplet=i686-w64-mingw32
objdump=$triplet-objdump
stage_start=$SECONDS

step() { echo "--- $* (at ${SECONDS}s)"; }
fail() { echo "50-windows: $*" >&2; exit 1; }

# ---- Tools -------------------------------------------------------------------
have_tools() {
  local wine32
  wine32=$(dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null || true)
  command -v "$triplet-g++-posix" >/dev/null && command -v wine >/dev/null &&
    [ "$wine32" = "install ok installed" ]
}
if ! have_tools; then
  step "installing the cross compiler and Wine"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  t0=$SECONDS
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-i686-posix wine wine32:i386 >/dev/null
  echo "installed in $((SECONDS - t0)) s"
  have_tools || fail "cross compiler or Wine still missing after the install"
fi

# ---- Cross build ---------------------------------------------------------------
step "cross build"
t0=$SECONDS
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRELVO_BUILD_TESTS=OFF -DTRELVO_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --clean-first -j "$(nproc)" >"$build/build.log" 2>&1 ||
  { cat "$build/build.log"; fail "cross build failed"; }
# Warnings: none allowed in the Windows sources; elsewhere they are shown
# (code shared with Linux may warn only on a 32-bit target).
if grep -E 'warning:' "$build/build.log" >/dev/null; then
  grep -E -A3 'warning:' "$build/build.log" || true
  if grep -E '(src/platform/win32|tests/windows|include/trelvo)/[^:]*:[0-9]+:[0-9]+: warning:' \
       "$build/build.log" >/dev/null; then
    fail "compiler warnings in the Windows sources"
  fi
  echo "(warnings above are in shared sources and only shown here)"
fi
echo "built in $((SECONDS - t0)) s"
dll=$build/src/Trelvo.dll
[ -f "$dll" ] || fail "no Trelvo.dll"

# ---- Export table ----------------------------------------------------------------
step "export table"
"$objdump" -p "$dll" >"$build/objdump.txt"
sed -n '/^Export Address Table --/,/^$/p;/^\[Ordinal\/Name Pointer\] Table/,/^$/p' \
  "$build/objdump.txt"

# The sixteen functions with the argument bytes of their signatures...
expected="TrelvoApplyFix@8 TrelvoCloseUnit@4 TrelvoGetTimesAndValues@16 TrelvoGetUnitInfo@16
TrelvoGetValue@12 TrelvoGetValues@12 TrelvoMaxValue@8 TrelvoOpenUnit@0 TrelvoOpenUnitAsync@0
TrelvoOpenUnitProgress@8 TrelvoReady@4 TrelvoRun@12 TrelvoSetDo@12 TrelvoSetInterval@20
TrelvoSetTrigger@32 TrelvoStop@4"
expected=$(echo $expected | tr ' ' '\n' | LC_ALL=C sort)
# ...and as the compiler decorates the declarations of trelvo.h for a client.
"$triplet-gcc-posix" -std=c99 -Wall -Wextra -Wpedantic -Werror -I include \
  -c tests/windows/header_decorations.c -o "$build/header_decorations.o"
from_header=$("$triplet-nm" -u "$build/header_decorations.o" | awk '{print $2}' |
  sed -n 's/^__imp__\(Trelvo[A-Za-z]*@[0-9]*\)$/\1/p' | LC_ALL=C sort)
[ "$from_header" = "$expected" ] ||
  fail "trelvo.h declares other signatures than expected:"$'\n'"$(diff <(echo "$expected") <(echo "$from_header"))"

# Ordinal -> name and ordinal -> entry point, from objdump's export section.
base=$(awk '/^Ordinal Base/ {print $3}' "$build/objdump.txt")
names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' "$build/objdump.txt" |
  sed -n 's/^\s*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' | awk -v b="$base" '{print $1 + b, $2}' | sort -n)
entries=$(sed -n 's/^\s*\[ *[0-9]*\] +base\[ *\([0-9]*\)\] *\([0-9a-f]*\) Export RVA$/\1 \2/p' \
  "$build/objdump.txt" | sort -un)
[ "$(echo "$names" | wc -l)" -eq 34 ] || fail "expected 34 exported names, found $(echo "$names" | wc -l)"
[ "$(echo "$entries" | wc -l)" -eq 34 ] || fail "expected 34 ordinals, found $(echo "$entries" | wc -l)"
rva_of() { echo "$entries" | awk -v o="$1" '$1 == o {print $2}'; }
name_of() { echo "$names" | awk -v o="$1" '$1 == o {print $2}'; }
ordinal=1
for decorated in $expected; do
  plain=${decorated%@*}
  [ "$(name_of "$ordinal")" = "$plain" ] || fail "ordinal $ordinal is '$(name_of "$ordinal")', expected $plain"
  ordinal=$((ordinal + 1))
done
for decorated in $expected; do
  plain=${decorated%@*}
  [ "$(name_of "$ordinal")" = "_$decorated" ] ||
    fail "ordinal $ordinal is '$(name_of "$ordinal")', expected _$decorated"
  [ "$(rva_of "$ordinal")" = "$(rva_of $((ordinal - 16)))" ] ||
    fail "_$decorated (ordinal $ordinal) and $plain do not name the same entry point"
  ordinal=$((ordinal + 1))
done
# The extension of trelvo_status.h follows the sixteen: plain at 33, decorated at 34.
[ "$(name_of 33)" = TrelvoGetCaptureStatus ] ||
  fail "ordinal 33 is '$(name_of 33)', expected TrelvoGetCaptureStatus"
[ "$(name_of 34)" = _TrelvoGetCaptureStatus@8 ] ||
  fail "ordinal 34 is '$(name_of 34)', expected _TrelvoGetCaptureStatus@8"
[ "$(rva_of 34)" = "$(rva_of 33)" ] ||
  fail "_TrelvoGetCaptureStatus@8 (ordinal 34) and TrelvoGetCaptureStatus do not name the same entry point"
distinct=$(echo "$entries" | awk '{print $2}' | sort -u | wc -l)
[ "$distinct" -eq 17 ] || fail "expected 17 distinct entry points, found $distinct"
echo "34 names, ordinals 1-16 plain and 17-32 decorated (ASCII order), argument bytes as in trelvo.h;"
echo "TrelvoGetCaptureStatus at 33 and _TrelvoGetCaptureStatus@8 at 34"

# Runtime dependencies: system DLLs only (libgcc, libstdc++, winpthread linked in).
imports=$(awk '/DLL Name:/ {print $3}' "$build/objdump.txt" | sort -fu | tr '\n' ' ')
echo "imports: $imports"
for dll_name in $imports; do
  case "${dll_name,,}" in
    kernel32.dll | msvcrt.dll | user32.dll | version.dll) ;;
    *) fail "Trelvo.dll depends on $dll_name" ;;
  esac
done

# ---- Wine ----------------------------------------------------------------------
step "Wine"
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/trelvo-wine.XXXXXX)
export WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
t0=$SECONDS
timeout 180 wineboot -i >/dev/null 2>&1 || fail "wineboot did not finish"
timeout 60 wineserver -w || true
echo "Wine prefix ready in $((SECONDS - t0)) s"

t0=$SECONDS
timeout 420 ctest --test-dir "$build/tests-windows" --output-on-failure --timeout 240
echo "Windows tests ran in $((SECONDS - t0)) s"
echo "stage 50-windows done in $((SECONDS - stage_start)) s"
