#!/usr/bin/env bash
# Makes a fresh Wine prefix in DIR and starts its server persistently, so each Windows test
# program does not pay the server's start. Usage: wine-prefix.sh DIR  (stop: wine-prefix.sh DIR --stop)
set -euo pipefail
dir="${1:?usage: wine-prefix.sh DIR [--stop]}"
export WINEPREFIX="$dir" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=/usr/lib/wine/wineserver
if [ "${2:-}" = --stop ]; then
  "$server" -k 2>/dev/null || true
  exit 0
fi
"$server" -k 2>/dev/null || true
rm -rf "$dir"
mkdir -p "$dir"
# The message about syswow64\rundll32.exe is harmless: there is no 32-bit Wine here.
timeout 120 "$wine" wineboot -i </dev/null >/dev/null 2>&1 || true
timeout 60 "$server" -w || true
[ -f "$dir/system.reg" ] || { echo "wine-prefix.sh: no prefix made in $dir" >&2; exit 1; }
# The server and Wine's services outlive this script: none of them may hold its output open,
# or whoever reads that output (ctest) waits for them forever.
"$server" -p </dev/null >/dev/null 2>&1
# Starts the services here rather than under the first test.
timeout 120 "$wine" wineboot </dev/null >/dev/null 2>&1 || true
echo "Wine prefix ready: $dir"
