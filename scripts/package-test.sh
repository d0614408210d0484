#!/usr/bin/env bash
# Builds the Debian packages, checks them (lintian, desktop-file-validate,
# systemd-analyze), installs them on this machine, serves a demo archive with
# the installed vqarchived as its service user, talks to it with the
# installed vqcli, and removes the packages again (purge).
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
mapfile -t DEBS < <(ls "$BUILD"/vqlink_*.deb "$BUILD"/vqviewer_*.deb "$BUILD"/vqarchived_*.deb)
[ ${#DEBS[@]} -eq 3 ] || { say "expected three packages, got: ${DEBS[*]:-none}"; exit 1; }
for deb in "${DEBS[@]}"; do
  say "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version): Depends: $(dpkg-deb -f "$deb" Depends)"
done

say "lintian"
lintian --fail-on error "${DEBS[@]}"
say "desktop-file-validate"
desktop-file-validate ArchiverUI/desktop/vqviewer.desktop

if [ "${SUDO[0]:-}" = none ]; then
  say "not root and no password-less sudo: packages built and checked, not installed"
  exit 0
fi
for p in vqlink vqviewer vqarchived; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    say "$p is installed already; leaving this machine's installation alone"
    exit 0
  fi
done

WORK=$(mktemp -d)
SERVER_PID=
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
  "${SUDO[@]}" apt-get purge -y -qq vqviewer vqarchived vqlink >/dev/null 2>&1 || true
  "${SUDO[@]}" rm -rf /var/lib/vqarchived/archive "$WORK"
  "${SUDO[@]}" rmdir /var/lib/vqarchived 2>/dev/null || true
}
trap cleanup EXIT

say "installing"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${DEBS[@]/#/./}" >/dev/null

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
kill "$SERVER_PID"
wait "$SERVER_PID" || true
SERVER_PID=

say "removing"
"${SUDO[@]}" apt-get purge -y -qq vqviewer vqarchived vqlink >/dev/null
for f in /usr/bin/vqviewer /usr/bin/vqarchived /usr/bin/vqcli /etc/vqarchived/password \
  /lib/systemd/system/vqarchived.service; do
  [ ! -e "$f" ] || { say "$f is left after purge"; exit 1; }
done
say "packages built, installed, served, removed"
