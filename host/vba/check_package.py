#!/usr/bin/env python3
"""Runs scripts/package-windows.sh and checks the zip it makes.

  check_package.py --build-dir DIR --work DIR   package a real Windows build tree
  check_package.py --staged --work DIR          a stand-in tree: the zip's layout, and a clear
                                                failure and no zip for each missing build file
"""
import argparse
import pathlib
import re
import shutil
import subprocess
import sys
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "scripts" / "package-windows.sh"
BOM = b"\xef\xbb\xbf"

# Place in the zip -> (tree, path there). "build" is the Windows build tree.
CONTENTS = {
    "bin/TarnWebCom.dll": ("build", "web_client/TarnWebCom.dll"),
    "bin/TarnIccr.dll": ("build", "card_reader/TarnIccr.dll"),
    "bin/tarn.exe": ("build", "host/tarn.exe"),
    "lib/TarnWebCom.dll.a": ("build", "web_client/TarnWebCom.dll.a"),
    "lib/TarnIccr.dll.a": ("build", "card_reader/TarnIccr.dll.a"),
    "include/tarn/tarn_types.h": ("source", "include/tarn/tarn_types.h"),
    "include/tarn/tarn_web_com.h": ("source", "include/tarn/tarn_web_com.h"),
    "include/tarn/tarn_iccr.h": ("source", "include/tarn/tarn_iccr.h"),
    "vba/Tarn.bas": ("source", "host/vba/Tarn.bas"),
    "README-windows.txt": ("source", "host/vba/README-windows.txt"),
}
# Text for Windows editors: CRLF, and this prefix.
WINDOWS_TEXT = {"vba/Tarn.bas": b"", "README-windows.txt": BOM}
BUILD_FILES = [path for tree, path in CONTENTS.values() if tree == "build"]


def version():
    text = (ROOT / "CMakeLists.txt").read_text()
    m = re.search(r"^project\(Tarn\b.*?\bVERSION\s+([0-9][0-9.]*)", text, re.M)
    if not m:
        sys.exit("no VERSION in the project() line of CMakeLists.txt")
    return m.group(1)


def package(build_dir, out_dir):
    return subprocess.run(
        ["bash", str(SCRIPT), str(build_dir), str(out_dir)],
        capture_output=True, text=True, timeout=300,
    )


def expected_bytes(place, build_dir):
    tree, path = CONTENTS[place]
    data = ((build_dir if tree == "build" else ROOT) / path).read_bytes()
    if place in WINDOWS_TEXT:
        data = WINDOWS_TEXT[place] + data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return data


def check_zip(zip_path, build_dir):
    top = f"tarn-windows-x64-{version()}"
    problems = []
    with zipfile.ZipFile(zip_path) as z:
        if z.testzip() is not None:
            return [f"{zip_path}: a damaged entry"]
        names = set(z.namelist())
        wanted = {f"{top}/{place}" for place in CONTENTS}
        problems += [f"missing from the zip: {n}" for n in sorted(wanted - names)]
        problems += [f"not expected in the zip: {n}" for n in sorted(names - wanted)]
        for place in CONTENTS:
            name = f"{top}/{place}"
            if name not in names:
                continue
            data = z.read(name)
            if data != expected_bytes(place, build_dir):
                problems.append(f"{name} differs from the file it should come from")
            if place.startswith("bin/") and not data.startswith(b"MZ"):
                problems.append(f"{name} is not a Windows executable")
    return problems


def run_real(build_dir, work):
    out = work / "out"
    shutil.rmtree(out, ignore_errors=True)
    result = package(build_dir, out)
    if result.returncode != 0:
        return [f"package-windows.sh failed ({result.returncode}): {result.stderr.strip()}"]
    zip_path = out / f"tarn-windows-x64-{version()}.zip"
    if not zip_path.is_file():
        return [f"no {zip_path.name} in {out}: {sorted(p.name for p in out.iterdir())}"]
    if result.stdout.strip() != str(zip_path):
        return [f"the script names '{result.stdout.strip()}', not {zip_path}"]
    return check_zip(zip_path, build_dir)


def staged_tree(path, leave_out=None):
    shutil.rmtree(path, ignore_errors=True)
    for file in BUILD_FILES:
        if file != leave_out:
            target = path / file
            target.parent.mkdir(parents=True, exist_ok=True)
            # Distinct contents, so a file packed under the wrong name shows.
            target.write_bytes(b"MZ stand-in for " + file.encode())
    return path


def run_staged(work):
    problems = [f"complete tree: {p}" for p in run_real(staged_tree(work / "tree"), work)]
    for file in BUILD_FILES:
        tree = staged_tree(work / "tree-without", leave_out=file)
        out = work / "out-without"
        shutil.rmtree(out, ignore_errors=True)
        result = package(tree, out)
        what = f"without {file}"
        if result.returncode == 0:
            problems.append(f"{what}: the script succeeded")
        if str(tree / file) not in result.stderr:
            problems.append(f"{what}: the error does not name the file: {result.stderr.strip()!r}")
        if out.exists() and any(out.iterdir()):
            problems.append(f"{what}: left {sorted(p.name for p in out.iterdir())}")
    return problems


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--build-dir", type=pathlib.Path)
    mode.add_argument("--staged", action="store_true")
    parser.add_argument("--work", type=pathlib.Path, required=True)
    args = parser.parse_args()
    args.work.mkdir(parents=True, exist_ok=True)
    work = args.work.resolve()
    problems = run_staged(work) if args.staged else run_real(args.build_dir.resolve(), work)
    for p in problems:
        print(f"FAIL: {p}", file=sys.stderr)
    if not problems:
        print("the zip holds exactly the expected files")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
