#!/usr/bin/env bash
# Byte-order interop: builds the library and the interop program for this
# machine and, with the s390x cross compiler, for a big-endian one, then runs
# the interop test, which makes the two talk over TCP and the local socket
# (the big-endian program runs under qemu-s390x).  Installs the cross
# compiler and qemu-user when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh g++-s390x-linux-gnu qemu-user
jobs=$(nproc)
native=out/build
cross=out/s390x

cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$native" -j "$jobs" --target tarvex-interop test_interop

cmake -S . -B "$cross" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-s390x.cmake \
  -DBUILD_TESTING=OFF -DTARVEX_BUILD_TOOLS=OFF >/dev/null
cmake --build "$cross" -j "$jobs" --target tarvex-interop

echo "=== byte-order interop: native against s390x under qemu ==="
TARVEX_INTEROP_NATIVE="$PWD/$native/interop/tarvex-interop" \
TARVEX_INTEROP_PEER="$PWD/$cross/interop/tarvex-interop" \
  "$native/tests/test_interop"
