#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole system against the simulators.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build" -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_BENCHMARKS=OFF
exec /usr/bin/python3 "$root/scripts/demo.py" "$root/build"
