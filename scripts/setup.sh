#!/usr/bin/env bash
# Installs the Debian packages that building and testing need (as root, or
# through sudo). Safe to run again: it installs only what is missing.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          pkg-config python3)
if [ -f "$(dirname "$0")/packages.extra" ]; then
  # shellcheck disable=SC2207
  packages+=($(grep -v '^#' "$(dirname "$0")/packages.extra"))
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
