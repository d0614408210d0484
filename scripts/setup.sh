#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run its
# demo. Idempotent: when everything is present it prints nothing and touches
# no package list.
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential g++ g++-multilib cmake ninja-build pkg-config git
  clang clang-format libclang-rt-14-dev ccache
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev libssl-dev libtirpc-dev socat
  # viewer
  qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev libgl-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  qt6-pdf-dev qt6-image-formats-plugins
  # the audio sink of the player tests (a sound server with a null sink) and
  # the second reader of exported transcripts
  pulseaudio pulseaudio-utils unrtf
  # evidence packages: the ZIP writer, and the readers their tests check them with
  # (unzip; python3's csv module for the list export)
  libzip-dev unzip python3
  # the demo under Xvfb: a display, screenshots, and a font for the CJK names
  # of the demo archive (the default fonts have none)
  xvfb xauth x11-utils imagemagick fonts-wqy-microhei
  # reference archive server
  libsqlite3-dev sqlite3 mariadb-server mariadb-client libmariadb-dev libmp3lame-dev
  # Debian packages: manual pages, checks, the service's tools
  scdoc lintian desktop-file-utils systemd adduser
  # the Windows build (MinGW-w64 with POSIX threads, 32- and 64-bit) and Wine
  # to run its tests: wine32 for 32-bit programs, wine64 where the kernel
  # runs no 32-bit code
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64
)

# wine32 is a package of the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" -ne 0 ]; then
    sudo dpkg --add-architecture i386
  else
    dpkg --add-architecture i386
  fi
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
