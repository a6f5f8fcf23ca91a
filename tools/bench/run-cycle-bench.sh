#!/usr/bin/env bash
# Builds and runs the Open/Close cycle benchmark in an x86_64 build tree:
#   tools/bench/run-cycle-bench.sh [build dir] [cycle_bench arguments]
# for example  tools/bench/run-cycle-bench.sh build/x64 --cycles 2000 --driver Mirevon
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/env.sh"
dir=$(realpath -m "${1:-$root/build/x64}"); [ $# -gt 0 ] && shift
kr_build x64 "$dir" cycle_bench >/dev/null
kr_wine_prefix "$dir"
cd "$dir/bin"
xvfb-run -a -s "-screen 0 1024x768x24" sh -c 'wineserver -p; wine cycle_bench.exe "$@"; rc=$?; wineserver -k; exit $rc' \
  cycle_bench "$@"
