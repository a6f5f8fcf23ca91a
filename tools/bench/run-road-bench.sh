#!/usr/bin/env bash
# Builds and runs the road benchmark in an x86_64 build tree:
#   tools/bench/run-road-bench.sh [build dir] [road_bench arguments]
# for example  tools/bench/run-road-bench.sh build/x64 --receipts 10
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/env.sh"
dir=$(realpath -m "${1:-$root/build/x64}"); [ $# -gt 0 ] && shift
kr_build x64 "$dir" road_bench >/dev/null
kr_wine_prefix "$dir"
cd "$dir/bin"
xvfb-run -a -s "-screen 0 1024x768x24" sh -c 'wineserver -p; wine road_bench.exe "$@"; rc=$?; wineserver -k; exit $rc' \
  road_bench "$@"
