#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole system against the simulators.
# --windows also cross-builds the Windows target (build-windows/) and runs both parts through
# tarn.exe, TarnWebCom.dll and TarnIccr.dll under Wine, in a fresh prefix
# (build-windows/wineprefix); the card dialog shows on an Xvfb screen of the demo's own.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
windows=0
for arg in "$@"; do
  case "$arg" in
    --windows) windows=1 ;;
    *) echo "demo.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done
if ((windows)); then
  bash "$root/scripts/setup.sh" --windows
else
  bash "$root/scripts/setup.sh"
fi
bash "$root/scripts/build.sh" "$root/build" -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_BENCHMARKS=OFF
if ((windows == 0)); then
  exec /usr/bin/python3 "$root/scripts/demo.py" "$root/build"
fi

bash "$root/scripts/build-windows.sh" "$root/build-windows"
prefix="$root/build-windows/wineprefix"
# A screen of the demo's own for the card dialog, given to every Wine program from the first
# on: the prefix's desktop takes the display of whichever program starts it, and a desktop
# started without one shows no window later.
display_file="$(mktemp)"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" </dev/null >/dev/null 2>&1 &
screen=$!
trap 'kill $screen 2>/dev/null; rm -f "$display_file"' EXIT
for _ in $(seq 100); do
  [ -s "$display_file" ] && break
  sleep 0.1
done
[ -s "$display_file" ] || { echo "demo.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$display_file")"
# The prefix's server stays up (persistent) and would hold on to whatever output it inherits.
if ! bash "$root/scripts/wine-prefix.sh" "$prefix" >"$prefix.log" 2>&1 </dev/null; then
  cat "$prefix.log" >&2
  exit 1
fi
trap 'bash "$root/scripts/wine-prefix.sh" "$prefix" --stop; kill $screen 2>/dev/null; rm -f "$display_file"' EXIT
export WINEPREFIX="$prefix"
# Wine starts its services beside the first program in the prefix, with that program's output:
# started now, they do not keep the demo's pipes open.
WINEDEBUG=-all /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
/usr/bin/python3 "$root/scripts/demo.py" "$root/build" --windows "$root/build-windows"
