#!/usr/bin/env bash
# Starts and stops the sound server the player tests play through: a
# PulseAudio daemon of its own with one null sink (a real sink that consumes
# audio in real time without a sound card), reachable only through a socket
# in a temporary directory. It needs no session bus and runs as root too.
#
#   eval "$(bash scripts/audio.sh start)"   # prints export lines
#   bash scripts/audio.sh stop              # uses the exported variables
#
# Only the export lines go to stdout; every diagnostic goes to stderr.
set -euo pipefail

say() { echo "audio: $*" >&2; }

start() {
  local daemon
  daemon=$(command -v pulseaudio) || {
    say "pulseaudio not found (install pulseaudio)"
    echo "export VQ_REQUIRE_AUDIO=1"
    exit 1
  }
  local dir
  dir=$(mktemp -d "${TMPDIR:-/tmp}/vq-audio.XXXXXX")
  # The daemon keeps its runtime files and cookie under HOME and
  # XDG_RUNTIME_DIR: both point into the temporary directory.
  (
    cd "$dir"
    HOME="$dir" XDG_RUNTIME_DIR="$dir" setsid "$daemon" -n --daemonize=no \
      --exit-idle-time=-1 --disallow-exit --use-pid-file=no --disable-shm=yes \
      --log-target=stderr --log-level=warning \
      -L "module-null-sink sink_name=vq_null sink_properties=device.description=Null_Output" \
      -L "module-native-protocol-unix auth-anonymous=1 socket=$dir/native" \
      </dev/null >>"$dir/pulse.log" 2>&1 &
    echo $! >"$dir/pid"
  )
  local pid waited=0
  pid=$(cat "$dir/pid")
  while [ $waited -lt 100 ]; do
    if ! kill -0 "$pid" 2>/dev/null; then
      cat "$dir/pulse.log" >&2
      rm -rf "$dir"
      say "the sound server ended at start"
      echo "export VQ_REQUIRE_AUDIO=1"
      exit 1
    fi
    if PULSE_SERVER="unix:$dir/native" pactl info >/dev/null 2>&1; then
      break
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  if ! PULSE_SERVER="unix:$dir/native" pactl info >/dev/null 2>&1; then
    kill -TERM "$pid" 2>/dev/null || true
    rm -rf "$dir"
    say "the sound server did not answer within 10 s"
    echo "export VQ_REQUIRE_AUDIO=1"
    exit 1
  fi
  say "PulseAudio with a null sink (pid $pid, socket $dir/native)"
  echo "export VQ_AUDIO_PID=$pid"
  echo "export VQ_AUDIO_DIR=$dir"
  echo "export PULSE_SERVER=unix:$dir/native"
  echo "export VQ_REQUIRE_AUDIO=1"
}

stop() {
  local pid="${VQ_AUDIO_PID:-}" dir="${VQ_AUDIO_DIR:-}"
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    local waited=0
    while kill -0 "$pid" 2>/dev/null && [ $waited -lt 50 ]; do
      sleep 0.1
      waited=$((waited + 1))
    done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  # Only ever remove a directory this script created.
  case "$dir" in
    */vq-audio.*) [ -d "$dir" ] && rm -rf "$dir" ;;
    "") ;;
    *) say "not removing unexpected directory '$dir'" ;;
  esac
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  *)
    say "usage: $0 start|stop"
    exit 2
    ;;
esac
