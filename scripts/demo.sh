#!/usr/bin/env bash
# The main job: the reference archive server on a generated demo archive, and
# the viewer pointed at it.
#
#   bash scripts/demo.sh              opens the viewer on this desktop
#   bash scripts/demo.sh --headless   runs it under Xvfb, writes
#                                     demo-data/screenshot.png and exits
#
# Without a display (no DISPLAY or WAYLAND_DISPLAY) it runs headless anyway.
# VQ_DEMO_BUILD_DIR=DIR uses an already configured build tree instead of the
# release preset.
# The demo keeps its own settings under demo-data/config, so the operator's
# own viewer settings stay untouched. The viewer opens on the sample query
# demo/Every media type.vqq (the other files in demo/ open from its command
# line or a file manager). The server is stopped when the viewer exits.
set -euo pipefail
cd "$(dirname "$0")/.."

HEADLESS=0
for arg in "$@"; do
  case "$arg" in
    --headless) HEADLESS=1 ;;
    -h|--help) sed -n '2,/^set /p' "$0" | grep '^#' | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown option '$arg' (try --help)" >&2; exit 2 ;;
  esac
done
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  HEADLESS=1
fi

bash scripts/setup.sh

DATA=demo-data
ARCHIVE="$DATA/archive"
mkdir -p "$DATA"

BUILD_LOG="$DATA/build.log"
if [ -n "${VQ_DEMO_BUILD_DIR:-}" ]; then
  BIN=$VQ_DEMO_BUILD_DIR
  echo "demo: building vqviewer and vqarchived in $BIN..."
  build() { cmake --build "$BIN" --target vqviewer vqarchived; }
else
  BIN=build/release
  echo "demo: building vqviewer and vqarchived (release preset, log: $BUILD_LOG)..."
  build() { cmake --preset release && cmake --build --preset release --target vqviewer vqarchived; }
fi
if ! build >"$BUILD_LOG" 2>&1; then
  echo "demo: the build failed; the end of $BUILD_LOG:" >&2
  tail -n 30 "$BUILD_LOG" >&2
  exit 1
fi
VIEWER="$BIN/ArchiverUI/vqviewer"
SERVER="$BIN/archive-server/vqarchived"
if [ ! -e "$ARCHIVE/archive.sqlite" ]; then
  echo "demo: creating the demo archive in $ARCHIVE (once)..."
  "$SERVER" --create-demo "$ARCHIVE"
fi

# A loopback port on which nothing answers yet.
PORT=
for p in $(seq 17456 17556); do
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
    PORT=$p
    break
  fi
done
if [ -z "$PORT" ]; then
  echo "demo: no free port in 17456..17556 on 127.0.0.1" >&2
  exit 1
fi
# The viewer's built-in default password, which the server is told to prove.
PASSWORD=pemrak

# The viewer's settings for the demo: host, port and password in the form
# its settings store keeps (the password as its scrambled 255-byte block).
CONFIG="$PWD/$DATA/config"
mkdir -p "$CONFIG/Tovrin"
password_block() {
  local pw=$1 i bytes
  bytes=$(printf '%02x' "${#pw}")
  for ((i = 0; i < ${#pw}; i++)); do
    bytes+=$(printf ',%02x' $(( $(printf '%d' "'${pw:i:1}") ^ 0xB6 )))
  done
  for ((i = ${#pw} + 1; i < 255; i++)); do
    bytes+=",00"
  done
  echo "$bytes"
}
{
  printf 'Windows Registry Editor Version 5.00\n\n'
  printf '[HKEY_CURRENT_USER\\Software\\Tovrin\\vqviewer]\n'
  printf '"Host"="127.0.0.1"\n'
  printf '"Port"=dword:%08x\n' "$PORT"
  printf '"Data"=hex:%s\n' "$(password_block "$PASSWORD")"
} > "$CONFIG/Tovrin/vqviewer"

SERVER_LOG="$DATA/vqarchived.log"
echo "demo: starting vqarchived on 127.0.0.1:$PORT (log: $SERVER_LOG)"
"$SERVER" --listen 127.0.0.1 --port "$PORT" --password "$PASSWORD" "$ARCHIVE" >"$SERVER_LOG" 2>&1 &
SERVER_PID=$!
stop_server() {
  if kill -0 "$SERVER_PID" 2>/dev/null; then
    kill -TERM "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
}
trap stop_server EXIT

# Wait until the server answers or ends.
SERVER_UP=0
for _ in $(seq 1 100); do
  if ! kill -0 "$SERVER_PID" 2>/dev/null; then
    break
  fi
  if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then
    SERVER_UP=1
    break
  fi
  sleep 0.1
done
if [ "$SERVER_UP" -eq 0 ]; then
  status=0
  wait "$SERVER_PID" 2>/dev/null || status=$?
  echo "demo: vqarchived did not start (status $status):" >&2
  cat "$SERVER_LOG" >&2
  exit 1
fi
echo "demo: vqarchived serves the demo archive; the viewer connects to it at start"

# The query the viewer opens on, so that the first screen lists records.
QUERY="$PWD/demo/Every media type.vqq"

if [ "$HEADLESS" -eq 0 ]; then
  echo "demo: starting vqviewer (close it to end the demo)"
  XDG_CONFIG_HOME="$CONFIG" "$VIEWER" --connect "$QUERY" || true
else
  SHOT="$DATA/screenshot.png"
  echo "demo: starting vqviewer under Xvfb; screenshot in $SHOT"
  rm -f "$SHOT"
  XDG_CONFIG_HOME="$CONFIG" xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    "$1" --connect -geometry 1280x800+0+0 "$3" &
    viewer=$!
    sleep 8
    import -window root "$2"
    kill -TERM "$viewer" 2>/dev/null || true
    wait "$viewer"
  ' demo "$VIEWER" "$SHOT" "$QUERY" >"$DATA/vqviewer.log" 2>&1 || true
  if [ -s "$SHOT" ]; then
    echo "demo: wrote $SHOT"
  else
    echo "demo: no screenshot was taken; viewer output:" >&2
    cat "$DATA/vqviewer.log" >&2
    exit 1
  fi
fi
echo "demo: stopping vqarchived"
