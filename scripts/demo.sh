#!/usr/bin/env bash
# Builds the library and its tools and runs the two-process demo over loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B out/build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build out/build -j "$(nproc)" --target tarvex-demo
exec out/build/tools/tarvex-demo "$@"
