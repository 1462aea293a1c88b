#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/, or $TARN_FUZZ_BUILD_DIR) and runs each
# for SECONDS (default 60) on a scratch copy of its corpus in fuzz/corpus/<target>/, which stays
# as it is. Fails on the first crash, leak, sanitizer report or hang; the input that caused it is
# left in the scratch folder, whose path is printed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
dir="${TARN_FUZZ_BUILD_DIR:-$root/build-fuzz}"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTARN_BUILD_FUZZERS=ON -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$dir" --target fuzzers -j "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for corpus in "$root"/fuzz/corpus/*/; do
  target="$(basename "$corpus")"
  scratch="$dir/runs/$target"
  rm -rf "$scratch"
  mkdir -p "$scratch/new"
  # New inputs go to the first folder only; the tree's corpus is read.
  if ! "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$scratch/" "$scratch/new" "$corpus" \
       >"$scratch/log" 2>&1; then
    tail -n 40 "$scratch/log" >&2
    echo "fuzz: $target failed; input and log in $scratch" >&2
    exit 1
  fi
  echo "fuzz: $target $(grep -o 'number_of_executed_units: [0-9]*' "$scratch/log" | grep -o '[0-9]*') runs in ${seconds} s"
done
