#!/usr/bin/env bash
# Builds the native fuzz targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time; any
# finding fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
dir="$root/build/fuzz"
if [ ! -f "$dir/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$root/tests/fuzz" -B "$dir" -G Ninja >/dev/null
fi
cmake --build "$dir"
shopt -s nullglob
for fuzzer in "$dir"/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  corpus="$root/tests/fuzz/corpus/${name#fuzz_}"
  work="$dir/corpus-${name#fuzz_}"
  mkdir -p "$work"
  echo "-- $name"
  dirs=("$work")
  [ -d "$corpus" ] && dirs+=("$corpus")
  "$fuzzer" -max_total_time="$seconds" "${dirs[@]}" >"$dir/$name.log" 2>&1 || { tail -n 40 "$dir/$name.log"; echo "$name found a fault"; exit 1; }
  grep -E '^Done|^#[0-9]+ *DONE' "$dir/$name.log" | tail -n 1 || true
done
