#!/usr/bin/env bash
# Installs what is missing, then configures and cross-builds the Windows x64 target.
# Usage: build-windows.sh DIR [extra cmake arguments...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:?usage: build-windows.sh DIR}"
shift
bash "$root/scripts/setup.sh" --windows
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64-x86_64.cmake" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
