#!/usr/bin/env bash
# Builds and runs the simulator benchmark (ecrsim.exe's memory and idle CPU
# over receipts) in an x86_64 build tree:
#   tools/bench/run-sim-bench.sh [build dir] [sim_bench arguments]
# for example  tools/bench/run-sim-bench.sh build/x64 --receipts 2000
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/env.sh"
dir=$(realpath -m "${1:-$root/build/x64}"); [ $# -gt 0 ] && shift
kr_build x64 "$dir" sim_bench >/dev/null
kr_wine_prefix "$dir"
cd "$dir/bin"
xvfb-run -a -s "-screen 0 1024x768x24" sh -c 'wineserver -p; wine sim_bench.exe "$@"; rc=$?; wineserver -k; exit $rc' \
  sim_bench "$@"
