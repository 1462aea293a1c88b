#!/usr/bin/env bash
# Fails when a C or C++ file of ours is not as clang-format writes it.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files -co --exclude-standard -- '*.cpp' '*.h' | grep -v '^build' || true)
[ -n "$files" ] || exit 0
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
