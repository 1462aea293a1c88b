#!/usr/bin/env bash
# Installs what is missing, checks the formatting, then builds and runs every test twice:
# a plain build and one under AddressSanitizer and UBSan.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
bash scripts/check-format.sh

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for variant in build build-asan; do
  extra=()
  [ "$variant" = build-asan ] && extra=(-DTARN_SANITIZE=ON -DTARN_BUILD_BENCHMARKS=OFF)
  echo "== $variant"
  bash scripts/build.sh "$root/$variant" "${extra[@]}"
  ctest --test-dir "$root/$variant" --output-on-failure -j2 --timeout 300
done
