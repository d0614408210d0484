#!/usr/bin/env bash
# The Windows side of the test command: builds vqlink.dll for 32-bit Windows
# (preset win32, MinGW-w64), checks its export table, runs the Windows
# builds of the runtime, RPC framework, socket and library suites under Wine,
# and runs the Windows vqcli.exe under Wine against the Linux vqarchived on
# loopback: status, a SELECT, and a recording's download, compared byte for
# byte with the archive's own file. Prints the counts; exits non-zero on any
# failure.
#
# Wine runs 32-bit programs only where the kernel runs 32-bit code (some
# virtual machines switch that off: "ia32_emulation"). There the suites and
# vqcli.exe run as the 64-bit Windows build (preset win64) under wine64, and
# the script says so; the 32-bit DLL is built and its exports checked all
# the same.
#
# Wine gets a private prefix in a temporary folder, started once (wineboot)
# without a display, and removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-$(nproc)}
started=$(date +%s)
say() { echo "win32: $*"; }
fail=0

bash scripts/setup.sh

# ------------------------------------------------------------ the 32-bit DLL
say "building vqlink.dll and vqcli.exe for 32-bit Windows (preset win32)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$JOBS" --target vqlink vqcli
if ! ctest --preset win32 -L win32-static; then
  fail=1
fi

# --------------------------------------------------- where the suites run
# A 32-bit program of the machine's own kind tells whether it runs 32-bit code.
probe_dir=$(mktemp -d "${TMPDIR:-/tmp}/vq-win32.XXXXXX")
WINEPREFIX_DIR="$probe_dir/wine"
server_pid=
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  if [ -d "$WINEPREFIX_DIR" ]; then
    WINEPREFIX="$WINEPREFIX_DIR" wineserver -k 2>/dev/null || true
  fi
  case "$probe_dir" in
    */vq-win32.*) rm -rf "$probe_dir" ;;
  esac
}
trap cleanup EXIT

printf 'int main(void){return 0;}\n' > "$probe_dir/probe.c"
if gcc -m32 "$probe_dir/probe.c" -o "$probe_dir/probe" 2>/dev/null && "$probe_dir/probe" 2>/dev/null; then
  PRESET=win32
  WINE=wine
  export WINEARCH=win32
else
  PRESET=win64
  WINE=/usr/lib/wine/wine64
  say "this machine's kernel runs no 32-bit programs (no 32-bit Wine):"
  say "the suites and vqcli.exe run as the 64-bit Windows build under wine64"
fi

say "building the Windows suites (preset $PRESET)"
cmake --preset "$PRESET" >/dev/null
cmake --build --preset "$PRESET" -j "$JOBS"

# ------------------------------------------------------------------ Wine
export WINEPREFIX="$WINEPREFIX_DIR"
export WINEDEBUG=-all
# No Mono or Gecko installers: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Assertion reports answer Ignore and go to standard error, as on Linux
# without a terminal; no message box waits for a click.
export ORTU_ASSERT=ignore
boot_start=$(date +%s)
"$WINE" wineboot -i >"$probe_dir/wineboot.log" 2>&1 || {
  cat "$probe_dir/wineboot.log" >&2
  say "wineboot failed"
  exit 1
}
say "Wine prefix ready in $(($(date +%s) - boot_start)) s"

# ---------------------------------------------------------------- suites
reports="build/$PRESET/tests/win32/reports"
rm -rf "$reports"
if ! ctest --preset "$PRESET" -L '^win32$' -j "$JOBS"; then
  fail=1
fi
cases=0 failures=0 programs=0
for xml in "$reports"/*.xml; do
  [ -e "$xml" ] || continue
  programs=$((programs + 1))
  line=$(grep -m1 '<testsuites' "$xml")
  n=$(sed -n 's/.* tests="\([0-9]*\)".*/\1/p' <<<"$line")
  f=$(sed -n 's/.* failures="\([0-9]*\)".*/\1/p' <<<"$line")
  cases=$((cases + ${n:-0}))
  failures=$((failures + ${f:-0}))
done
say "suites under Wine: $programs programs, $cases cases, $failures failed"

# ---------------------------------------------- vqcli.exe against vqarchived
say "building vqarchived (debug preset)"
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$JOBS" --target vqarchived
SERVER=build/debug/archive-server/vqarchived
ARCHIVE="$probe_dir/archive"
"$SERVER" --create-demo "$ARCHIVE" --records 300 >"$probe_dir/create.log" 2>&1

PORT=
for p in $(seq 17600 17700); do
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
    PORT=$p
    break
  fi
done
[ -n "$PORT" ] || { say "no free port in 17600..17700"; exit 1; }
PASSWORD=win32-test
"$SERVER" --listen 127.0.0.1 --port "$PORT" --password "$PASSWORD" "$ARCHIVE" \
  >"$probe_dir/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break
  sleep 0.1
done

CLI_DIR="build/$PRESET/vqlink/tools"
cp "build/$PRESET/vqlink/vqlink.dll" "$CLI_DIR/"
vqcli() { "$WINE" "$CLI_DIR/vqcli.exe" --host 127.0.0.1 --port "$PORT" --password "$PASSWORD" "$@"; }
host_checks=0 host_failed=0
check() {
  host_checks=$((host_checks + 1))
  if "$@"; then
    return 0
  fi
  host_failed=$((host_failed + 1))
  say "FAILED: ${*}"
  return 1
}

status_out=$(vqcli status 2>&1 | tr -d '\r') || true
check grep -q '^state' <<<"$status_out"
rows=$(vqcli sql "SELECT Media_ID, filename FROM media WHERE Media_Type = 'callrec' ORDER BY Media_ID" 2>&1 | tr -d '\r') || true
count=$(($(wc -l <<<"$rows") - 1))
expected=$(sqlite3 "$ARCHIVE/archive.sqlite" "SELECT count(*) FROM media WHERE Media_Type = 'callrec'")
check test "$count" -eq "$expected" -a "$count" -gt 0
rec=$(sed -n '2p' <<<"$rows" | cut -f1)
file=$(sed -n '2p' <<<"$rows" | cut -f2)
mkdir -p "$probe_dir/download"
if check vqcli download "$rec" --out "$(winepath -w "$probe_dir/download" 2>/dev/null || echo "$probe_dir/download")" >/dev/null; then
  original=$(find "$ARCHIVE" -type f -name "$(basename "$file")" | head -n1)
  check test -n "$original"
  check cmp -s "$probe_dir/download/$rec" "$original"
fi
say "vqcli.exe against vqarchived: $host_checks checks, $host_failed failed" \
  "($count recordings listed, record $rec downloaded: $(stat -c %s "$probe_dir/download/$rec" 2>/dev/null || echo 0) bytes)"

[ "$failures" -eq 0 ] && [ "$host_failed" -eq 0 ] || fail=1
say "the Windows step took $(($(date +%s) - started)) s"
exit $fail
