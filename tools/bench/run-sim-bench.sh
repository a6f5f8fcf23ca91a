#!/usr/bin/env bash
# Builds and runs the simulator benchmark (ecrsim.exe's memory and idle CPU
# over receipts) in an x86_64 build tree:
#   tools/bench/run-sim-bench.sh [build dir] [sim_bench arguments]
# for example  tools/bench/run-sim-bench.sh build/x64 --receipts 2000
exec "$(dirname "$0")/run-bench.sh" sim_bench "$@"
