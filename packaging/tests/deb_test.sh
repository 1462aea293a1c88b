#!/usr/bin/env bash
# The Debian package in a fresh Debian 12 root. Three steps, run in this order:
#   deb_test.sh package BUILD_DIR      cpack makes BUILD_DIR/deb/tarn_VERSION_ARCH.deb
#   deb_test.sh root BUILD_DIR WORK    a fresh root in WORK/root from a cached minbase bookworm
#                                      root, the package's dependencies downloaded into it (the
#                                      only step that uses the network)
#   deb_test.sh install BUILD_DIR WORK apt-get installs the package there without a network, then
#                                      tarn --help, tarn digest and man tarn run in the root
# Without root (or without debootstrap) the root and install steps say so and skip with status 77, except on CI.
# The minbase root is cached in TARN_DEBIAN_CACHE (default BUILD_DIR/debian-root).
set -euo pipefail
step=$1
build=$2
work=${3:-}
mirror=${TARN_DEBIAN_MIRROR:-http://deb.debian.org/debian}

skip() {
  if [ "${CI:-}" = true ]; then
    echo "FAIL: $* (CI must run this test)" >&2
    exit 1
  fi
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
need_root() {
  [ "$(id -u)" -eq 0 ] || skip "making and entering a Debian root needs root"
}

package() {
  local debs=("$build"/deb/tarn_*.deb)
  [ -e "${debs[0]}" ] && echo "${debs[0]}"
}

in_root() {
  chroot "$work/root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}

case "$step" in
  package)
    rm -f "$build"/deb/tarn_*.deb
    (cd "$build" && cpack -G DEB >cpack.log) || { cat "$build/cpack.log"; fail "cpack"; }
    deb=$(package) || fail "cpack made no tarn_*.deb"
    depends=$(dpkg-deb -f "$deb" Depends)
    [[ $depends == *libcurl4* ]] || fail "Depends lacks libcurl4: $depends"
    echo "made $deb"
    ;;
  root)
    need_root
    command -v debootstrap >/dev/null || skip "debootstrap is not installed (scripts/setup.sh)"
    cache=${TARN_DEBIAN_CACHE:-$build/debian-root}
    mkdir -p "$cache"
    # The minbase root is made once per build tree and kept as a tarball; each run starts from a
    # fresh copy of it.
    if [ ! -f "$cache/bookworm-minbase.tar" ]; then
      rm -rf "$cache/make"
      debootstrap --variant=minbase --include=man-db bookworm "$cache/make" "$mirror" \
        >"$cache/debootstrap.log" 2>&1 || { tail -n 30 "$cache/debootstrap.log"; fail "debootstrap"; }
      tar -C "$cache/make" -cf "$cache/bookworm-minbase.tar.part" .
      mv "$cache/bookworm-minbase.tar.part" "$cache/bookworm-minbase.tar"
      rm -rf "$cache/make"
    fi
    rm -rf "$work"
    mkdir -p "$work/root" "$cache/archives"
    tar -C "$work/root" -xf "$cache/bookworm-minbase.tar"
    deb=$(package) || fail "no package in $build/deb"
    cp "$deb" "$work/root/tmp/"
    # Dependencies fetched before stay in the cache; only new ones are downloaded.
    cp "$cache/archives/"*.deb "$work/root/var/cache/apt/archives/" 2>/dev/null || true
    in_root apt-get update -qq >"$work/update.log" 2>&1 || { cat "$work/update.log"; fail "apt-get update"; }
    in_root apt-get install -y -qq --download-only "/tmp/$(basename "$deb")" >"$work/download.log" 2>&1 ||
      { cat "$work/download.log"; fail "downloading the dependencies"; }
    cp "$work/root/var/cache/apt/archives/"*.deb "$cache/archives/" 2>/dev/null || true
    echo "root ready in $work/root"
    ;;
  install)
    need_root
    [ -d "$work/root/usr" ] || skip "no Debian root in $work (the root step did not make one)"
    deb=$(package) || fail "no package in $build/deb"
    deb=/tmp/$(basename "$deb")
    # Its own network namespace with nothing but loopback, so the install is offline: every
    # package it needs is already in the root's archive cache. Its own mount namespace too, for
    # /proc and /dev/pts in the root, gone when the command ends.
    offline() {
      unshare --net --mount --fork /bin/sh -c '
        root=$1; shift
        mount -t proc proc "$root/proc" && mount -t devpts devpts "$root/dev/pts" &&
          exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 \
            DEBIAN_FRONTEND=noninteractive "$@"' sh "$work/root" "$@"
    }
    offline apt-get install -y "$deb" >"$work/install.log" 2>&1 ||
      { cat "$work/install.log"; fail "apt-get install $deb"; }
    grep -q "Setting up libcurl4" "$work/install.log" || fail "libcurl4 was not pulled in"
    expected_digest=$(printf 'u:qm4vr7:pass' | python3 -c \
      'import hashlib, sys; print(hashlib.md5(sys.stdin.buffer.read()).hexdigest())')
    failed=0
    # Each check: its name # the command in the root # a text its output must hold.
    while IFS='#' read -r name command text; do
      if output=$(offline sh -c "$command" 2>&1) && [[ $output == *"$text"* ]]; then
        echo "ok: $name"
      else
        echo "FAIL: $name: '$command' printed:"
        echo "$output"
        failed=1
      fi
    done <<CHECKS
help#tarn --help#Subcommands:
digest#tarn digest --user u --password pass#$expected_digest
manual page#MANWIDTH=80 man tarn 2>&1 | cat#tarn [OPTIONS] SUBCOMMAND
manual page environment#man tarn 2>&1 | cat#TARN_PASSWORD
libraries known to the loader#ldconfig -p#libTarnIccr.so.1
pkg-config file#cat /usr/lib/pkgconfig/tarn-web-com.pc#prefix=/usr
CMake package#ls /usr/lib/cmake/Tarn#TarnConfigVersion.cmake
bash completion#ls /usr/share/bash-completion/completions#tarn
CHECKS
    exit $failed
    ;;
  *)
    fail "unknown step $step"
    ;;
esac
