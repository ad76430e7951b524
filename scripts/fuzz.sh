#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in out/fuzz, replays their committed corpora
# and regression inputs under CTest, then runs each harness for a fixed time.
#
#   scripts/fuzz.sh                 short run: 15 s per harness
#   scripts/fuzz.sh --long SECONDS  the longer run: SECONDS per harness
#
# New inputs go to out/fuzz/corpus/<target> (kept between runs), findings to
# out/fuzz/artifacts/<target>/.  A finding ends the script with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=15
case "${1:-}" in
  "") ;;
  --long)
    seconds=${2:?usage: scripts/fuzz.sh --long SECONDS}
    [[ $seconds =~ ^[0-9]+$ ]] || { echo "SECONDS must be a whole number" >&2; exit 2; }
    ;;
  *) echo "usage: scripts/fuzz.sh [--long SECONDS]" >&2; exit 2 ;;
esac

scripts/deps.sh clang libclang-rt-14-dev
dir=out/fuzz
cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARVEX_SANITIZE=ON -DTARVEX_FUZZ=ON -DBUILD_TESTING=OFF -DTARVEX_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target \
  fuzz_receive_event fuzz_receive_image fuzz_receive_spect fuzz_preamble fuzz_convert fuzz_make_seeds

echo "=== corpus and regression replay ==="
ctest --test-dir "$dir/fuzz" --output-on-failure

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for target in receive_event receive_image receive_spect preamble convert; do
  echo "=== fuzz_$target: $seconds s ==="
  work=$dir/corpus/$target
  artifacts=$dir/artifacts/$target
  mkdir -p "$work" "$artifacts"
  extra=()
  # A record length is 32 bits: a receiver may allocate up to 4 GiB for one.
  [ "$target" = receive_event ] && extra+=(-malloc_limit_mb=4200)
  dirs=("$work" "fuzz/corpus/$target")
  [ -d "fuzz/regressions/$target" ] && dirs+=("fuzz/regressions/$target")
  log=$dir/logs/$target.log
  mkdir -p "$dir/logs"
  # The receivers print a line for every broken-off record: stdout and
  # stderr of the code under test are closed (findings are still reported).
  rc=0
  "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -max_len=65536 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/" "${extra[@]}" \
    "${dirs[@]}" >"$log" 2>&1 || rc=$?
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
  if [ "$rc" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz_$target found a problem (exit $rc): log $log, input in $artifacts" >&2
    exit 1
  fi
done
echo "=== all fuzz harnesses passed ==="
