#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test suite: the
# debug build runs all tests (GUI ones on the offscreen platform), the
# ASan+UBSan build runs every non-GUI test again, the release preset builds,
# the fuzz preset (clang) builds whole and runs each fuzzer briefly, the
# packages are built and checked, and the library's Windows build is tested
# under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

JOBS=${JOBS:-$(nproc)}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Services the end-to-end suites need are started here and stopped on exit:
# the database, and a sound server with a null sink for the player tests.
cleanup() {
  [ -n "${VQ_SERVICES_PID:-}" ] && bash scripts/services.sh stop || true
  [ -n "${VQ_AUDIO_PID:-}" ] && bash scripts/audio.sh stop || true
}
trap cleanup EXIT
if [ -x scripts/services.sh ]; then
  eval "$(bash scripts/services.sh start)"
fi
eval "$(bash scripts/audio.sh start)"

status=0
for preset in debug asan; do
  echo "== build ($preset)"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
  echo "== test ($preset)"
  ctest --preset "$preset" -j "$JOBS" || status=1
done

# The release preset (what the demo and the benchmarks use) only builds: its
# optimiser sees warnings the debug build does not.
echo "== build (release)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$JOBS" || status=1

# The fuzz preset (clang) builds whole, and each fuzzer runs briefly on its
# seed corpus.
echo "== fuzz"
bash scripts/fuzz.sh || status=1

# The Debian packages: built, checked, installed, run and removed again.
echo "== packages"
bash scripts/package-test.sh || status=1

# The library for Windows: the DLL's exports, its suites and a host under
# Wine against the Linux vqarchived.
echo "== windows"
bash scripts/win32-test.sh || status=1
exit $status
