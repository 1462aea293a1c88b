#!/usr/bin/env bash
# Installs what is missing, checks the formatting, cross-builds the Windows target, then builds
# and runs every test twice: a plain build, whose tests also run the Windows binaries under
# Wine, and one under AddressSanitizer and UBSan; last, a short run of every fuzz target on its
# corpus (10 s each).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh --windows
bash scripts/check-format.sh

start=$SECONDS
echo "== build-windows"
bash scripts/build-windows.sh "$root/build-windows"

# The Debian 12 root of the package test is made once per machine, not once per clone.
export TARN_DEBIAN_CACHE="${TARN_DEBIAN_CACHE:-/var/cache/tarn-tests/debian-root}"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for variant in build build-asan; do
  extra=()
  case "$variant" in
    build) extra=(-DTARN_BUILD_TESTS=ON -DTARN_WINDOWS_BUILD_DIR="$root/build-windows") ;;
    build-asan) extra=(-DTARN_BUILD_TESTS=ON -DTARN_SANITIZE=ON -DTARN_BUILD_BENCHMARKS=OFF -DTARN_WINDOWS_BUILD_DIR=) ;;
  esac
  echo "== $variant"
  bash scripts/build.sh "$root/$variant" "${extra[@]}"
  ctest --test-dir "$root/$variant" --output-on-failure -j2 --timeout 300
done
echo "== fuzz smoke"
bash scripts/fuzz.sh 10
echo "== all tests passed in $((SECONDS - start)) s"
