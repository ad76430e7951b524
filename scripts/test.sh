#!/usr/bin/env bash
# Builds the project and runs every test: a normal build, then the same
# suite under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

echo "=== source format ==="
scripts/format.sh --check

run_suite() {  # build-dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600
}

echo "=== normal build ==="
run_suite out/build
echo "=== AddressSanitizer + UndefinedBehaviorSanitizer ==="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite out/build-san -DTARVEX_SANITIZE=ON -DTARVEX_BUILD_TOOLS=OFF
scripts/interop.sh
echo "=== fault injection and soak (sanitized) ==="
scripts/reliability.sh
echo "=== fuzzing: corpus replay and a short run of each harness ==="
scripts/fuzz.sh
echo "=== all suites passed ==="
