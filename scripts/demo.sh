#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole system against the simulators.
# --windows also cross-builds the Windows target (build-windows/) and runs the appliance part
# through tarn.exe and TarnWebCom.dll under Wine, in a fresh prefix (build-windows/wineprefix).
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
# The prefix's server stays up (persistent) and would hold on to whatever output it inherits.
if ! bash "$root/scripts/wine-prefix.sh" "$prefix" >"$prefix.log" 2>&1 </dev/null; then
  cat "$prefix.log" >&2
  exit 1
fi
trap 'bash "$root/scripts/wine-prefix.sh" "$prefix" --stop' EXIT
export WINEPREFIX="$prefix"
# Wine starts its services beside the first program in the prefix, with that program's output:
# started now, they do not keep the demo's pipes open.
WINEDEBUG=-all /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
/usr/bin/python3 "$root/scripts/demo.py" "$root/build" --windows "$root/build-windows"
