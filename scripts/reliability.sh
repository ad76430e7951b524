#!/usr/bin/env bash
# Fault injection, hostile peers and a short soak, built with AddressSanitizer
# (and its leak checker) and UndefinedBehaviorSanitizer in out/reliability.
# Exits non-zero when a fault is answered outside the contract, a hostile
# peer's case breaks a bound, a call hangs, a descriptor or memory leaks, or
# the soak loses or corrupts a record.
#
#   scripts/reliability.sh                       # 300 faults and the hostile peers with seed 20240611, soak --quick
#   scripts/reliability.sh --seed N --iterations N
#   scripts/reliability.sh --full-soak           # the soak at full length instead (minutes)
set -euo pipefail
cd "$(dirname "$0")/.."

seed=20240611
iterations=300
soak_args=(--quick)
while [ $# -gt 0 ]; do
  case $1 in
    --seed) seed=$2; shift 2 ;;
    --iterations) iterations=$2; shift 2 ;;
    --full-soak) soak_args=(); shift ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "reliability.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

scripts/deps.sh
dir=out/reliability
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_SANITIZE=ON \
  -DTARVEX_BUILD_TOOLS=ON -DBUILD_TESTING=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target tarvex-faults tarvex-hostile tarvex-soak

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0

echo "=== fault injection: seed $seed, $iterations iterations ==="
if ! "$dir/reliability/tarvex-faults" --seed "$seed" --iterations "$iterations" \
     --diag "$dir/faults-diagnostics.log"; then
  failed=1
  echo "fault injection FAILED; the link's own diagnostics are in $dir/faults-diagnostics.log"
fi

echo "=== hostile peers: seed $seed ==="
if ! "$dir/reliability/tarvex-hostile" --seed "$seed" --diag "$dir/hostile-diagnostics.log"; then
  failed=1
  echo "hostile peers FAILED; the link's own diagnostics are in $dir/hostile-diagnostics.log"
fi

echo "=== soak ${soak_args[*]} ==="
if ! "$dir/reliability/tarvex-soak" "${soak_args[@]}" --diag "$dir/soak-diagnostics.log"; then
  failed=1
  echo "soak FAILED; the processes' diagnostics are in $dir/soak-diagnostics.log"
fi

if [ "$failed" -ne 0 ]; then
  echo "=== reliability: FAILED ==="
  exit 1
fi
echo "=== reliability: passed ==="
