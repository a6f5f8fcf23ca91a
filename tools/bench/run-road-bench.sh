#!/usr/bin/env bash
# Builds and runs the road benchmark in an x86_64 build tree:
#   tools/bench/run-road-bench.sh [build dir] [road_bench arguments]
# for example  tools/bench/run-road-bench.sh build/x64 --receipts 10
exec "$(dirname "$0")/run-bench.sh" road_bench "$@"
