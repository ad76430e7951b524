#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when
# they are missing.  Usage: scripts/deps.sh [extra package ...]
set -euo pipefail
# help2man makes the tools' man pages; pkg-config serves the test that builds
# the consumer example against the .deb package and finds libzmq3-dev, the
# ZeroMQ baseline of tarvex-bench (optional in CMake).
want=(cmake g++ make libgtest-dev help2man pkg-config libzmq3-dev "$@")
# The Python binding (python/) and its tests, for the system interpreter.
want+=(pybind11-dev python3-dev python3-numpy python3-pytest)
missing=()
for p in "${want[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
