#!/usr/bin/env bash
# Builds and runs the Open/Close cycle benchmark in an x86_64 build tree:
#   tools/bench/run-cycle-bench.sh [build dir] [cycle_bench arguments]
# for example  tools/bench/run-cycle-bench.sh build/x64 --cycles 2000 --driver Mirevon
exec "$(dirname "$0")/run-bench.sh" cycle_bench "$@"
