#!/usr/bin/env bash
# Formats every C++ source of the tree with the one .clang-format, or, with
# --check, fails when a file is not formatted (the test command runs that).
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || scripts/deps.sh clang-format
mapfile -t files < <(git ls-files '*.cc' '*.h' '*.cpp' '*.hpp')
if [ "${1:-}" = "--check" ]; then
  clang-format --dry-run --Werror "${files[@]}"
  echo "format: ${#files[@]} files clean"
else
  clang-format -i "${files[@]}"
fi
