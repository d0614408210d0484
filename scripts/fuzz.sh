#!/usr/bin/env bash
# Builds the fuzz preset whole (clang, every target) and runs each libFuzzer
# target on its seed corpus for a short, fixed time.
#
#   bash scripts/fuzz.sh                 # every fuzzer, VQ_FUZZ_SECONDS each (30)
#   VQ_FUZZ_SECONDS=600 bash scripts/fuzz.sh qrex_stream_fuzz
#
# The seed corpora in fuzz/corpus stay as they are: new inputs a run finds go
# to build/fuzz/found/NAME. A crash, leak, timeout or out-of-memory fails the
# script and keeps the input in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${VQ_FUZZ_SECONDS:-30}
JOBS=${JOBS:-$(nproc)}
BUILD=build/fuzz

echo "== build (fuzz)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$JOBS"

if [ $# -gt 0 ]; then
  names=("$@")
else
  names=()
  for src in fuzz/*_fuzz.cpp; do
    names+=("$(basename "$src" .cpp)")
  done
fi

mkdir -p "$BUILD/artifacts"
status=0
for name in "${names[@]}"; do
  bin="$BUILD/fuzz/$name"
  corpus="fuzz/corpus/$name"
  found="$BUILD/found/$name"
  if [ ! -x "$bin" ] || [ ! -d "$corpus" ]; then
    echo "fuzz: $name: no program ($bin) or no seed corpus ($corpus)" >&2
    status=1
    continue
  fi
  mkdir -p "$found"
  log="$BUILD/$name.log"
  echo "== fuzz $name (${SECONDS_EACH}s)"
  # The first folder receives what the run finds; the seeds are only read.
  if "$bin" -max_total_time="$SECONDS_EACH" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$name-" \
      "$found" "$corpus" >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units' "$log" | sed "s/^/$name: /" || true
  else
    status=1
    echo "fuzz: $name FAILED; the input is kept in $BUILD/artifacts/" >&2
    grep -E 'ERROR:|SUMMARY:|Test unit written' "$log" >&2 || tail -n 30 "$log" >&2
  fi
done

if [ $status -eq 0 ]; then
  echo "fuzz: every fuzzer (${#names[@]}) ran ${SECONDS_EACH}s clean"
fi
exit $status
