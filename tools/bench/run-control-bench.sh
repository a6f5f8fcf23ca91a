#!/usr/bin/env bash
# Builds and runs the control benchmark in an x86_64 build tree:
#   tools/bench/run-control-bench.sh [build dir] [control_bench arguments]
# for example  tools/bench/run-control-bench.sh build/x64 --iterations 500000
exec "$(dirname "$0")/run-bench.sh" control_bench "$@"
