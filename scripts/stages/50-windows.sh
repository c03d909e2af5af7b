#!/usr/bin/env bash
# Trelvo.dll for Windows: cross-builds the 32-bit DLL (mingw-w64 i686) and the
# 64-bit one (mingw-w64 x86_64), both with posix threads, checks their export
# tables, the declarations of trelvo.h and their runtime dependencies, and
# runs the Windows test programs under 32-bit Wine and under 64-bit Wine.
# Installs the cross compilers and Wine (Debian packages) when they are
# missing.
#
# The 32-bit Wine tests need a kernel that runs 32-bit programs; where it does
# not (or wine32:i386 cannot be installed) they are skipped with a line that
# says why, and everything else still runs.
#   bash scripts/stages/50-windows.sh [repo root]
# TRELVO_SIMULATE_NO_32BIT=1 runs the stage as on a kernel without 32-bit
# programs: the check runs a program this kernel cannot execute, and, where
# unprivileged namespaces are allowed, the stage runs in a private mount
# namespace in which Wine's 32-bit loader is such a program too.
set -euo pipefail
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"
stage_start=$SECONDS

step() { echo "--- $* (at ${SECONDS}s)"; }
fail() { echo "50-windows: $*" >&2; exit 1; }

# An ELF program of 95 bytes for the given e_machine (hex byte) that exits with
# status 32 through the i386 system call: 03 is i386, 28 is 32-bit ARM.
tiny_elf() {
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00'
  printf "\\x$1"
  printf '\x00\x01\x00\x00\x00'
  printf '\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00'
  printf '\x00\x00\x00\x00\x00\x00'
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5f\x00\x00\x00\x5f\x00'
  printf '\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
  printf '\xb8\x01\x00\x00\x00\x31\xdb\xb3\x20\xcd\x80'
}
# Inside the worktree (git-ignored), where programs may run even when /tmp is noexec.
scratch=$(mktemp -d "$root/build-ci-windows-scratch.XXXXXX")
prefixes=()  # Wine prefixes to remove at the end
cleanup() {
  local prefix
  for prefix in "${prefixes[@]}"; do
    WINEPREFIX=$prefix timeout 30 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
  done
  rm -rf "$scratch"
}
trap cleanup EXIT

# ---- Can this kernel run 32-bit programs? ---------------------------------------
machine=03
[ "${TRELVO_SIMULATE_NO_32BIT:-0}" = 1 ] && machine=28
tiny_elf "$machine" >"$scratch/probe32" && chmod +x "$scratch/probe32"
[ "$(wc -c <"$scratch/probe32")" -eq 95 ] || fail "the 32-bit probe program was not written whole"
probe_status=0
"$scratch/probe32" 2>/dev/null || probe_status=$?
run32=0
skip32=""
case $probe_status in
  32) run32=1 ;;
  126) skip32="32-bit Wine tests skipped: this kernel does not run 32-bit programs" ;;
  *) fail "the 32-bit probe program ended with status $probe_status (expected 32, or 126 where it cannot run)" ;;
esac

# In the simulation, Wine's 32-bit loader must fail as on such a kernel: the
# stage runs again in a mount namespace with that file replaced by a program
# this kernel does not execute (after the package step, which needs the real
# root). Without namespaces the simulation covers the check and the skip only.
wine32_loader=/usr/lib/wine/wine
in_namespace() { [ "${TRELVO_NO_32BIT_NAMESPACE:-0}" = 1 ]; }

# ---- Tools -------------------------------------------------------------------
wine64_loader() {
  local candidate
  for candidate in /usr/lib/wine/wine64 /usr/lib64/wine/wine64 "$(command -v wine64 || true)"; do
    [ -n "$candidate" ] && [ -x "$candidate" ] && { echo "$candidate"; return 0; }
  done
  return 1
}
have_tools() {
  command -v i686-w64-mingw32-g++-posix >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null &&
    command -v wineserver >/dev/null && wine64_loader >/dev/null
}
have_wine32() {
  [ "$(dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null || true)" = "install ok installed" ] &&
    command -v wine >/dev/null
}
if ! in_namespace; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  if ! have_tools; then
    step "installing the cross compilers and 64-bit Wine"
    t0=$SECONDS
    $sudo apt-get update -qq || echo "apt-get update reported errors; trying the install anyway"
    $sudo apt-get install -y -qq --no-install-recommends \
      g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 >/dev/null
    echo "installed in $((SECONDS - t0)) s"
    have_tools || fail "cross compilers or 64-bit Wine still missing after the install"
  fi
  # 32-bit Wine only where it can run, and not as a condition of the stage: an
  # i386 architecture the package sources do not serve, or a wine32 that does
  # not install, skips the 32-bit tests.
  if [ "$run32" -eq 1 ] && ! have_wine32; then
    step "installing 32-bit Wine"
    t0=$SECONDS
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      $sudo dpkg --add-architecture i386 && $sudo apt-get update -qq ||
        echo "apt-get update for i386 reported errors; trying the install anyway"
    fi
    $sudo apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null 2>"$scratch/wine32.log" ||
      { tail -5 "$scratch/wine32.log"; }
    echo "install step ended after $((SECONDS - t0)) s"
  fi
  if [ "${TRELVO_SIMULATE_NO_32BIT:-0}" = 1 ]; then
    if unshare -rm true 2>/dev/null && [ -e "$wine32_loader" ]; then
      tiny_elf 28 >"$scratch/wine32" && chmod +x "$scratch/wine32"
      echo "simulating a kernel without 32-bit programs: $wine32_loader made unrunnable in a mount namespace"
      TRELVO_NO_32BIT_NAMESPACE=1 unshare -rm bash -c \
        'mount --bind "$1" "$2" && shift 2 && exec bash "$@"' bash \
        "$scratch/wine32" "$wine32_loader" "$self" "$root"
      exit 0
    fi
    echo "simulating a kernel without 32-bit programs by the check only (no unprivileged namespaces)"
  fi
fi
if in_namespace && "$wine32_loader" --version >/dev/null 2>&1; then
  fail "the simulation left Wine's 32-bit loader runnable"
fi
if [ "$run32" -eq 1 ] && ! have_wine32; then
  skip32="32-bit Wine tests skipped: wine32:i386 is not installed and could not be installed"
  run32=0
fi
wine64=$(wine64_loader)

# ---- Cross builds -----------------------------------------------------------------
# Builds one DLL with its Windows test programs into build-ci-<name>.
cross_build() {  # name, toolchain file, cmake arguments...
  local name=$1 toolchain=$2 build=$root/build-ci-$1
  shift 2
  step "cross build ($name)"
  local t0=$SECONDS
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRELVO_BUILD_TESTS=OFF -DTRELVO_BUILD_TOOLS=OFF "$@" >/dev/null
  cmake --build "$build" --clean-first -j "$(nproc)" >"$build/build.log" 2>&1 ||
    { cat "$build/build.log"; fail "$name cross build failed"; }
  # Warnings: none allowed in the Windows sources; elsewhere they are shown
  # (code shared with Linux may warn only on a Windows target).
  if grep -E 'warning:' "$build/build.log" >/dev/null; then
    grep -E -A3 'warning:' "$build/build.log" || true
    if grep -E '(src/platform/win32|src/driver/win|tests/windows|include/trelvo)/[^:]*:[0-9]+:[0-9]+: warning:' \
         "$build/build.log" >/dev/null; then
      fail "compiler warnings in the Windows sources ($name)"
    fi
    echo "(warnings above are in shared sources and only shown here)"
  fi
  echo "built in $((SECONDS - t0)) s"
  [ -f "$build/src/Trelvo.dll" ] || fail "no $name Trelvo.dll"
}
cross_build win32 toolchain-mingw32.cmake
cross_build win64 toolchain-mingw64.cmake -DTRELVO_WINE64="$wine64"
# The WinUSB binding is built beside each DLL.
for name in win32 win64; do
  [ -f "$root/build-ci-$name/src/trelvo-winusb.inf" ] || fail "no trelvo-winusb.inf beside the $name Trelvo.dll"
done

# ---- Export tables ----------------------------------------------------------------
# The exported functions with the argument bytes of their 32-bit signatures,
# in ASCII order of their names (the order of the ordinals).
functions="TrelvoApplyFix@8 TrelvoCloseUnit@4 TrelvoGetTimesAndValues@16 TrelvoGetUnitInfo@16
TrelvoGetValue@12 TrelvoGetValues@12 TrelvoMaxValue@8 TrelvoOpenUnit@0 TrelvoOpenUnitAsync@0
TrelvoOpenUnitProgress@8 TrelvoReady@4 TrelvoRun@12 TrelvoSetDo@12 TrelvoSetInterval@20
TrelvoSetTrigger@32 TrelvoStop@4"
functions=$(echo $functions | tr ' ' '\n' | LC_ALL=C sort)
plain_names=$(echo "$functions" | sed 's/@.*//')
count=$(echo "$functions" | wc -l)
# Functions added after the sixteen, with their 32-bit argument bytes: the
# capture status of trelvo_status.h. In the 32-bit DLL each has its plain name
# at the next ordinal from 33 and its decorated name right after it; in the
# 64-bit DLL the plain names follow the sixteen from ordinal 17.
extensions="TrelvoGetCaptureStatus@8"
extension_count=$(echo "$extensions" | wc -w)
total=$((count + extension_count))

# Reads a DLL's export section: sets names ("ordinal name" lines), entries
# ("ordinal RVA" lines) and imports.
read_exports() {  # name (win32, win64), objdump
  local dump=$root/build-ci-$1/objdump.txt base
  "$2" -p "$root/build-ci-$1/src/Trelvo.dll" >"$dump"
  sed -n '/^Export Address Table --/,/^$/p;/^\[Ordinal\/Name Pointer\] Table/,/^$/p' "$dump"
  base=$(awk '/^Ordinal Base/ {print $3}' "$dump")
  names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' "$dump" |
    sed -n 's/^\s*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' | awk -v b="$base" '{print $1 + b, $2}' | sort -n)
  entries=$(sed -n 's/^\s*\[ *[0-9]*\] +base\[ *\([0-9]*\)\] *\([0-9a-f]*\) Export RVA$/\1 \2/p' "$dump" |
    sort -un)
  imports=$(awk '/DLL Name:/ {print $3}' "$dump" | sort -fu | tr '\n' ' ')
}
rva_of() { echo "$entries" | awk -v o="$1" '$1 == o {print $2}'; }
name_of() { echo "$names" | awk -v o="$1" '$1 == o {print $2}'; }
# Runtime dependencies: system DLLs only (libgcc, libstdc++, winpthread linked in).
check_imports() {  # name, pointer width
  echo "imports: $imports"
  local dll_name
  for dll_name in $imports; do
    case "${dll_name,,}" in
      kernel32.dll | msvcrt.dll | user32.dll | version.dll) ;;
      *) fail "the $1 Trelvo.dll depends on $dll_name" ;;
    esac
  done
  # The width the Python package reads from the file to pick its loader.
  local width
  width=$(cd "$root/python" && /usr/bin/python3 -c \
    'import sys; from trelvo._library import dll_bits; print(dll_bits(sys.argv[1]))' \
    "$root/build-ci-$1/src/Trelvo.dll")
  [ "$width" = "$2" ] || fail "the Python package reads the $1 Trelvo.dll as '$width'-bit, expected $2"
  echo "the Python package reads it as a $width-bit DLL"
}
distinct_entries() { echo "$entries" | awk '{print $2}' | sort -u | wc -l; }
# The symbols a client compiled against trelvo.h asks the import library for.
header_imports() {  # triplet, name, sed expression picking the function names
  "$1-gcc-posix" -std=c99 -Wall -Wextra -Wpedantic -Werror -I include \
    -c tests/windows/header_decorations.c -o "$root/build-ci-$2/header_decorations.o"
  "$1-nm" -u "$root/build-ci-$2/header_decorations.o" | awk '{print $2}' | sed -n "$3" | LC_ALL=C sort
}

step "export table (win32)"
read_exports win32 i686-w64-mingw32-objdump
# stdcall: each function's decorated name carries the argument bytes of the
# declaration in trelvo.h (__imp__TrelvoSetTrigger@32).
from_header=$(header_imports i686-w64-mingw32 win32 's/^__imp__\(Trelvo[A-Za-z]*@[0-9]*\)$/\1/p')
declared=$(echo $functions $extensions | tr ' ' '\n' | LC_ALL=C sort)
[ "$from_header" = "$declared" ] ||
  fail "the headers declare other 32-bit signatures than expected:"$'\n'"$(diff <(echo "$declared") <(echo "$from_header"))"
[ "$(echo "$names" | wc -l)" -eq $((2 * total)) ] || fail "expected $((2 * total)) exported names, found $(echo "$names" | wc -l)"
[ "$(echo "$entries" | wc -l)" -eq $((2 * total)) ] || fail "expected $((2 * total)) ordinals, found $(echo "$entries" | wc -l)"
ordinal=1
for plain in $plain_names; do
  [ "$(name_of "$ordinal")" = "$plain" ] || fail "ordinal $ordinal is '$(name_of "$ordinal")', expected $plain"
  ordinal=$((ordinal + 1))
done
for decorated in $functions; do
  [ "$(name_of "$ordinal")" = "_$decorated" ] ||
    fail "ordinal $ordinal is '$(name_of "$ordinal")', expected _$decorated"
  [ "$(rva_of "$ordinal")" = "$(rva_of $((ordinal - count)))" ] ||
    fail "_$decorated (ordinal $ordinal) and ${decorated%@*} do not name the same entry point"
  ordinal=$((ordinal + 1))
done
for decorated in $extensions; do
  [ "$(name_of "$ordinal")" = "${decorated%@*}" ] ||
    fail "ordinal $ordinal is '$(name_of "$ordinal")', expected ${decorated%@*}"
  [ "$(name_of $((ordinal + 1)))" = "_$decorated" ] ||
    fail "ordinal $((ordinal + 1)) is '$(name_of $((ordinal + 1)))', expected _$decorated"
  [ "$(rva_of "$ordinal")" = "$(rva_of $((ordinal + 1)))" ] ||
    fail "_$decorated and ${decorated%@*} do not name the same entry point"
  ordinal=$((ordinal + 2))
done
[ "$(distinct_entries)" -eq "$total" ] || fail "expected $total distinct entry points, found $(distinct_entries)"
echo "$((2 * total)) names: ordinals 1-$count plain and $((count + 1))-$((2 * count)) decorated (ASCII order),"
echo "then plain and decorated from $((2 * count + 1)): $extensions; argument bytes as in the headers"
check_imports win32 32

step "export table (win64)"
read_exports win64 x86_64-w64-mingw32-objdump
# x64 has one calling convention: the header's declarations ask for the plain
# names (__imp_TrelvoSetTrigger), and nothing else may be asked for.
all_from_header=$(header_imports x86_64-w64-mingw32 win64 's/^__imp_\(.*\)$/\1/p')
declared=$(echo "$declared" | sed 's/@.*//')
[ "$all_from_header" = "$declared" ] ||
  fail "the headers declare other 64-bit names than expected:"$'\n'"$(diff <(echo "$declared") <(echo "$all_from_header"))"
[ "$(echo "$names" | wc -l)" -eq "$total" ] || fail "expected $total exported names, found $(echo "$names" | wc -l)"
[ "$(echo "$entries" | wc -l)" -eq "$total" ] || fail "expected $total ordinals, found $(echo "$entries" | wc -l)"
ordinal=1
for plain in $plain_names $(echo "$extensions" | tr ' ' '\n' | sed 's/@.*//'); do
  [ "$(name_of "$ordinal")" = "$plain" ] || fail "ordinal $ordinal is '$(name_of "$ordinal")', expected $plain"
  ordinal=$((ordinal + 1))
done
[ "$(distinct_entries)" -eq "$total" ] || fail "expected $total distinct entry points, found $(distinct_entries)"
machine_line=$(grep -m1 -E '^architecture:|file format' "$root/build-ci-win64/objdump.txt" || true)
echo "$machine_line" | grep -q 'x86-64' || fail "the 64-bit Trelvo.dll is not an x86-64 file ($machine_line)"
echo "$total names, ordinals 1-$total plain (the sixteen in ASCII order, then $(echo "$extensions" | sed "s/@[0-9]*//g")), no decorated names, x86-64"
check_imports win64 64

# ---- Wine ----------------------------------------------------------------------
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# Creates a fresh prefix for one Wine (WINEARCH and WINELOADER exported by the
# caller) and exports WINEPREFIX. The first start of a prefix is slow and now
# and then stalls: a stalled wineboot gets a second try in a new prefix.
new_prefix() {  # wine program, label
  local attempt t0=$SECONDS
  for attempt in 1 2; do
    WINEPREFIX=$(mktemp -d "/tmp/trelvo-wine-$2.XXXXXX")
    export WINEPREFIX
    prefixes+=("$WINEPREFIX")
    if timeout 180 "$1" wineboot -i >"$scratch/wineboot-$2.log" 2>&1; then
      timeout 60 wineserver -w || true
      echo "Wine prefix ($2) ready in $((SECONDS - t0)) s"
      return 0
    fi
    echo "wineboot ($2) did not finish (try $attempt):"
    tail -5 "$scratch/wineboot-$2.log" || true
    timeout 30 wineserver -k >/dev/null 2>&1 || true
  done
  return 1
}
run_windows_tests() {  # name, label
  local t0=$SECONDS
  timeout 420 ctest --test-dir "$root/build-ci-$1/tests-windows" --output-on-failure --timeout 240
  echo "Windows tests ($2) ran in $((SECONDS - t0)) s"
}

if [ "$run32" -eq 1 ]; then
  step "32-bit Wine"
  export WINEARCH=win32
  unset WINELOADER
  new_prefix wine win32 || fail "wineboot did not finish (32-bit)"
  run_windows_tests win32 "32-bit Wine"
  timeout 30 wineserver -k >/dev/null 2>&1 || true
else
  echo "$skip32"
fi

step "64-bit Wine"
export WINEARCH=win64 WINELOADER=$wine64
new_prefix "$wine64" win64 || fail "wineboot did not finish (64-bit)"
run_windows_tests win64 "64-bit Wine"
echo "stage 50-windows done in $((SECONDS - stage_start)) s"
