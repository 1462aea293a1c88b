#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need (only missing ones).
# --windows adds the cross compiler and Wine for the Windows x64 target.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libcurl4-openssl-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
  python3 python3-cryptography
  clang-format tmux
  clang libclang-rt-14-dev
  help2man debootstrap
)
for arg in "$@"; do
  case "$arg" in
    --windows)
      packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
                 wine64 xvfb xauth fonts-ipafont-gothic imagemagick locales)
      ;;
    *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
