#!/usr/bin/env bash
# Builds the Debian packages, checks them (lintian, the library's symbols,
# desktop-file-validate, systemd-analyze), installs them on this machine over
# a stand-in of the old all-in-one vqlink package, serves a demo archive with
# the installed vqarchived as its service user, talks to it with the
# installed vqcli and with the example host built against the installed
# libvqlink-dev (by CMake and by pkg-config), and removes the packages again
# (purge).
#
# Installing needs root (or sudo without a password). Packages of ours that
# were installed before this run are never touched: the install steps are
# skipped then.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "package-test: $*"; }
JOBS=${JOBS:-$(nproc)}
BUILD=build/package

if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
elif sudo -n true 2>/dev/null; then
  SUDO=(sudo -n)
else
  SUDO=(none)
fi

cmake --preset package >/dev/null
cmake --build --preset package -j "$JOBS"
rm -f "$BUILD"/*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
PACKAGES=(libvqlink1 libvqlink-dev vqlink-tools vqviewer vqarchived)
DEBS=()
for p in "${PACKAGES[@]}"; do
  deb=$(ls "$BUILD/${p}_"*.deb 2>/dev/null || true)
  [ -n "$deb" ] || { say "no package $p among: $(ls "$BUILD"/*.deb)"; exit 1; }
  DEBS+=("$deb")
done
[ "$(ls "$BUILD"/*.deb | wc -l)" -eq ${#PACKAGES[@]} ] ||
  { say "expected ${#PACKAGES[@]} packages, got: $(ls "$BUILD"/*.deb)"; exit 1; }
for deb in "${DEBS[@]}"; do
  say "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version): Depends: $(dpkg-deb -f "$deb" Depends)"
done

# The library package holds the library alone and needs nothing of Qt.
LIBDEB=${DEBS[0]}
if dpkg-deb -f "$LIBDEB" Depends | grep -qi qt; then
  say "libvqlink1 depends on Qt: $(dpkg-deb -f "$LIBDEB" Depends)"; exit 1
fi
if dpkg-deb -c "$LIBDEB" | awk '{print $6}' | grep -v '/$' |
  grep -Ev '/libvqlink\.so\.1(\.[0-9.]+)?$|^\./usr/share/(doc|lintian)/'; then
  say "libvqlink1 holds more than the library (above)"; exit 1
fi
# The symbols file names every export of the built library and nothing else.
SYMS=$(mktemp -d)
SYMBOLS=$PWD/packaging/debian/libvqlink1/symbols
LIBVERSION=$(dpkg-deb -f "$LIBDEB" Version)
dpkg-deb -x "$LIBDEB" "$SYMS/pkg"
(cd "$SYMS" && mkdir debian && touch debian/control &&
  dpkg-gensymbols -plibvqlink1 -v"$LIBVERSION" -Ppkg -I"$SYMBOLS" -O"$SYMS/out" -c4 >/dev/null) ||
  { say "the symbols file and the library's exports differ"; exit 1; }
rm -rf "$SYMS"

say "lintian"
# The library's layout is Debian's own: no override may hide a tag of it.
if grep -rEq 'package-name-doesnt-match-sonames|link-to-shared-library-in-wrong-package' \
  packaging/debian; then
  say "a lintian override hides a library-layout tag"; exit 1
fi
lintian --fail-on error,warning "${DEBS[@]}"
say "desktop-file-validate"
desktop-file-validate ArchiverUI/desktop/vqviewer.desktop

if [ "${SUDO[0]:-}" = none ]; then
  say "not root and no password-less sudo: packages built and checked, not installed"
  exit 0
fi
for p in vqlink "${PACKAGES[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    say "$p is installed already; leaving this machine's installation alone"
    exit 0
  fi
done

WORK=$(mktemp -d)
SERVER_PID=
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
  "${SUDO[@]}" apt-get purge -y -qq "${PACKAGES[@]}" vqlink >/dev/null 2>&1 || true
  "${SUDO[@]}" rm -rf /var/lib/vqarchived/archive "$WORK"
  "${SUDO[@]}" rmdir /var/lib/vqarchived 2>/dev/null || true
}
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
# Until 1.0.0 one package vqlink held the library, its header and the
# tools. A stand-in with those files goes in first, so that installing the
# new packages is the upgrade a user makes.
say "installing a stand-in of the old vqlink 1.0.0"
OLD=$WORK/old
for deb in "${DEBS[@]:0:3}"; do dpkg-deb -x "$deb" "$OLD"; done
rm -rf "$OLD/usr/share/doc" "$OLD/usr/share/lintian"
mkdir -p "$OLD/DEBIAN" "$OLD/usr/share/doc/vqlink"
cp packaging/debian/copyright "$OLD/usr/share/doc/vqlink/"
cat >"$OLD/DEBIAN/control" <<CONTROL
Package: vqlink
Version: 1.0.0
Architecture: $(dpkg --print-architecture)
Maintainer: $(dpkg-deb -f "$LIBDEB" Maintainer)
Description: VQarchive client library and command-line tools (old layout)
CONTROL
dpkg-deb --root-owner-group -b "$OLD" "$WORK/vqlink_1.0.0.deb" >/dev/null
"${SUDO[@]}" dpkg -i "$WORK/vqlink_1.0.0.deb" >/dev/null

say "installing"
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${DEBS[@]/#/./}" >/dev/null
if dpkg-query -W -f='${Status}' vqlink 2>/dev/null | grep -q 'install ok installed'; then
  say "the old vqlink package is still installed after the upgrade"; exit 1
fi

say "systemd-analyze verify"
"${SUDO[@]}" systemd-analyze verify /lib/systemd/system/vqarchived.service

# Each installed program answers with the packages' version; the viewer
# without a display.
VERSION=$(dpkg-deb -f "${DEBS[0]}" Version)
for prog in vqarchived vqcli vqquery vqviewer; do
  answer=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$prog" --version)
  say "$answer"
  [ "$answer" = "$prog ${VERSION%%-*}" ] || { say "$prog --version: '$answer'"; exit 1; }
  env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$prog" --help >/dev/null
done
for page in vqviewer.1 vqcli.1 vqquery.1 vqarchived.8; do
  [ -f "/usr/share/man/man${page##*.}/$page.gz" ] || { say "no manual page $page"; exit 1; }
done
getent passwd vqarchived >/dev/null || { say "no vqarchived user"; exit 1; }
[ "$(stat -c '%a %U %G' /etc/vqarchived/password)" = "640 root vqarchived" ] ||
  { say "password file has the wrong owner or mode"; exit 1; }

say "serving a demo archive as the service user"
"${SUDO[@]}" runuser -u vqarchived -- vqarchived --create-demo /var/lib/vqarchived/archive \
  --records 200 >/dev/null 2>"$WORK/demo.log"
"${SUDO[@]}" runuser -u vqarchived -- vqarchived --listen 127.0.0.1 --port 0 \
  --password-file /etc/vqarchived/password /var/lib/vqarchived/archive \
  >"$WORK/server.out" 2>"$WORK/server.log" &
SERVER_PID=$!
for _ in $(seq 100); do
  grep -q "listening on" "$WORK/server.out" 2>/dev/null && break
  sleep 0.1
done
PORT=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$WORK/server.out")
[ -n "$PORT" ] || { say "the installed server did not listen"; cat "$WORK/server.log"; exit 1; }
PASSWORD=$("${SUDO[@]}" head -n 1 /etc/vqarchived/password)
vqcli --host 127.0.0.1 --port "$PORT" --password "$PASSWORD" status
COUNT=$(vqcli --host 127.0.0.1 --port "$PORT" --password "$PASSWORD" sql "SELECT COUNT(*) FROM media" | tail -n 1)
[ "$COUNT" = "200" ] || { say "expected 200 records, the installed vqcli read '$COUNT'"; exit 1; }
say "the installed vqcli read $COUNT records from the installed vqarchived on port $PORT"

# The example host, built against the installed libvqlink-dev both ways, and
# run against the installed server: it must see the same records as vqcli,
# and download as many bytes as vqcli writes for the same record.
say "building the example host with CMake and with pkg-config"
cmake -S examples/host -B "$WORK/host-cmake" >/dev/null
cmake --build "$WORK/host-cmake" >/dev/null
mkdir -p "$WORK/host-pc"
# shellcheck disable=SC2046
cc -std=c99 -D_POSIX_C_SOURCE=200809L -Wall -Wextra -Werror -o "$WORK/host-pc/vqhost" \
  examples/host/vqhost.c $(pkg-config --cflags --libs vqlink) -pthread
for host in "$WORK/host-cmake/vqhost" "$WORK/host-pc/vqhost"; do
  "$host" 127.0.0.1 "$PORT" "$PASSWORD" >"$WORK/host.out"
  sed "s/^/package-test: vqhost: /" "$WORK/host.out"
  [ "$(sed -n 's/^records: //p' "$WORK/host.out")" = "$COUNT" ] ||
    { say "$host did not count $COUNT records"; exit 1; }
  BYTES=$(sed -n 's/^downloaded: \([0-9]*\) bytes of record \([0-9]*\)$/\1/p' "$WORK/host.out")
  RECORD=$(sed -n 's/^downloaded: \([0-9]*\) bytes of record \([0-9]*\)$/\2/p' "$WORK/host.out")
  [ -n "$BYTES" ] && [ "$BYTES" -gt 0 ] || { say "$host downloaded nothing"; exit 1; }
done
mkdir -p "$WORK/download"
vqcli --host 127.0.0.1 --port "$PORT" --password "$PASSWORD" download "$RECORD" \
  --out "$WORK/download" >/dev/null
[ "$(stat -c %s "$WORK/download/$RECORD")" = "$BYTES" ] ||
  { say "vqhost counted $BYTES bytes of record $RECORD, vqcli wrote $(stat -c %s "$WORK/download/$RECORD")"; exit 1; }
# A host built against the library depends on libvqlink1 through its
# symbols file, at least in the version that brought what it uses.
DEPENDS=$(cd "$WORK" && mkdir -p debian && touch debian/control &&
  dpkg-shlibdeps -O "$WORK/host-pc/vqhost" 2>/dev/null)
echo "$DEPENDS" | grep -q "libvqlink1 (>= ${VERSION%%-*})" ||
  { say "the host's dependencies lack libvqlink1: $DEPENDS"; exit 1; }
say "the example host, built both ways, read $COUNT records and $BYTES bytes of record $RECORD"
kill "$SERVER_PID"
wait "$SERVER_PID" || true
SERVER_PID=

say "removing"
"${SUDO[@]}" apt-get purge -y -qq "${PACKAGES[@]}" >/dev/null
for f in /usr/bin/vqviewer /usr/bin/vqarchived /usr/bin/vqcli /etc/vqarchived/password \
  /lib/systemd/system/vqarchived.service /usr/include/vqlink/vqlink.h; do
  [ ! -e "$f" ] || { say "$f is left after purge"; exit 1; }
done
say "packages built, installed, served, removed"
