#!/usr/bin/env bash
# Packs a Windows build tree (made by build-windows.sh) into the zip for users:
# OUT_DIR/tarn-windows-x64-VERSION.zip, VERSION from the project() line of CMakeLists.txt.
# Usage: package-windows.sh BUILD_DIR [OUT_DIR]   (OUT_DIR defaults to BUILD_DIR)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:?usage: package-windows.sh BUILD_DIR [OUT_DIR]}"
out="${2:-$dir}"

version="$(sed -nE 's/^project\(Tarn\b.*\bVERSION[[:space:]]+([0-9][0-9.]*).*/\1/p' \
  "$root/CMakeLists.txt")"
if [ -z "$version" ]; then
  echo "package-windows.sh: no VERSION in the project() line of $root/CMakeLists.txt" >&2
  exit 1
fi
name="tarn-windows-x64-$version"

# Place in the zip = file it comes from.
files=(
  "bin/TarnWebCom.dll=$dir/web_client/TarnWebCom.dll"
  "bin/TarnIccr.dll=$dir/card_reader/TarnIccr.dll"
  "bin/tarn.exe=$dir/host/tarn.exe"
  "lib/TarnWebCom.dll.a=$dir/web_client/TarnWebCom.dll.a"
  "lib/TarnIccr.dll.a=$dir/card_reader/TarnIccr.dll.a"
  "include/tarn/tarn_types.h=$root/include/tarn/tarn_types.h"
  "include/tarn/tarn_web_com.h=$root/include/tarn/tarn_web_com.h"
  "include/tarn/tarn_iccr.h=$root/include/tarn/tarn_iccr.h"
  "vba/Tarn.bas=$root/host/vba/Tarn.bas"
  "README-windows.txt=$root/host/vba/README-windows.txt"
)
missing=()
for entry in "${files[@]}"; do
  [ -f "${entry#*=}" ] || missing+=("${entry#*=}")
done
if ((${#missing[@]})); then
  echo "package-windows.sh: missing, so no zip was made:" >&2
  printf '  %s\n' "${missing[@]}" >&2
  echo "Build the Windows tree first: bash scripts/build-windows.sh $dir" >&2
  exit 1
fi

mkdir -p "$out"
zip="$out/$name.zip"
trap 'rm -f "$zip.partial"' EXIT
python3 - "$zip" "$name" "${files[@]}" <<'EOF'
import os, sys, zipfile

zip_path, top, entries = sys.argv[1], sys.argv[2], sys.argv[3:]
# Notepad and the VBA editor want CRLF; the editor imports only ASCII safely, and the BOM
# keeps older Notepads from reading the README's UTF-8 as the ANSI code page.
CRLF = {"vba/Tarn.bas": b"", "README-windows.txt": b"\xef\xbb\xbf"}
partial = zip_path + ".partial"
with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as z:
    for entry in entries:
        place, source = entry.split("=", 1)
        with open(source, "rb") as f:
            data = f.read()
        if place in CRLF:
            data = CRLF[place] + data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        info = zipfile.ZipInfo(f"{top}/{place}", zipfile.ZipInfo.from_file(source).date_time)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = (0o755 if place.startswith("bin/") else 0o644) << 16
        z.writestr(info, data)
os.replace(partial, zip_path)
EOF
echo "$zip"
