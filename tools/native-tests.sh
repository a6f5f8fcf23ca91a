#!/usr/bin/env bash
# Builds the host-native tests (tests/native: the fiscal core, the receipt
# model against the virtual printer) with clang and the sanitizers, and runs
# them; no Wine. Arguments go to ctest (for example -R Differential).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/build/native"
if [ ! -f "$dir/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$root/tests/native" -B "$dir" -G Ninja >/dev/null
fi
cmake --build "$dir"
(cd "$dir" && ctest --output-on-failure "$@")
