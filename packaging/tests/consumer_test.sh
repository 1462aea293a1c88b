#!/usr/bin/env bash
# Installs the build into a fresh prefix, then builds the C consumer against it once through
# find_package and once through pkg-config, and runs both.
# Usage: consumer_test.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1
work=$2
here="$(cd "$(dirname "$0")" && pwd)"
rm -rf "$work"
mkdir -p "$work"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
pc=$(find "$prefix" -name tarn-web-com.pc)
libdir=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --variable=libdir tarn-web-com)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Each library carries its SONAME, and the unversioned name is only the link-time symlink.
for lib in TarnWebCom TarnIccr; do
  file="$libdir/lib$lib.so"
  [ -L "$file" ] || fail "lib$lib.so is not a symlink"
  soname=$(readelf -d "$file" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "lib$lib.so.1" ] || fail "lib$lib SONAME is '$soname'"
  [ -f "$libdir/lib$lib.so.1.0.0" ] || fail "lib$lib.so.1.0.0 missing"
done

expected="bytes 4
digest $(printf 'u:qm4vr7:pass' | python3 -c 'import hashlib,sys; print(hashlib.md5(sys.stdin.buffer.read()).hexdigest())')
card 0"

# Nothing is set up for a card reader: the read gives up at once, without a dialog.
export TARN_REGISTRY_FILE="$work/no-registry.reg" TARN_DIALOG=headless

cmake -S "$here/consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/cmake-configure.log" || { cat "$work/cmake-configure.log"; fail "find_package"; }
grep -q "Tarn 1.0.0 headers in $prefix/include" "$work/cmake-configure.log" ||
  fail "version or include folder: $(grep Tarn "$work/cmake-configure.log")"
cmake --build "$work/cmake-build" >"$work/cmake-build.log" || { cat "$work/cmake-build.log"; fail "cmake build"; }

export PKG_CONFIG_PATH="$(dirname "$pc")"
for module in tarn-web-com tarn-iccr; do
  [ "$(pkg-config --modversion "$module")" = 1.0.0 ] || fail "$module version"
done
flags=$(pkg-config --cflags --libs tarn-web-com tarn-iccr)
cc -std=c11 -Wall -Wextra -Werror -pedantic "$here/consumer/consumer.c" $flags -o "$work/pkg-config-consumer"

# The CMake build carries the library folder as its run path; the pkg-config one takes the
# loader's path, as such programs do.
for run in "cmake|$work/cmake-build/consumer" \
           "pkg-config|env LD_LIBRARY_PATH=$libdir $work/pkg-config-consumer"; do
  name=${run%%|*}
  output=$(${run#*|} 2>"$work/$name.err") || fail "$name consumer exited with $?"
  [ "$output" = "$expected" ] || fail "$name consumer printed:
$output
expected:
$expected"
  echo "ok: $name consumer"
done
# The consumers used the installed libraries, not the build tree's. The listings are taken
# first: under pipefail, grep -q ending early could fail the command writing to it.
loaded=$(env LD_LIBRARY_PATH="$libdir" ldd "$work/pkg-config-consumer")
grep "$libdir/libTarnWebCom.so.1" <<<"$loaded" >/dev/null ||
  fail "pkg-config consumer does not load the installed library"
loaded=$(ldd "$work/cmake-build/consumer")
grep "$libdir/libTarnIccr.so.1" <<<"$loaded" >/dev/null ||
  fail "cmake consumer does not load the installed library"
