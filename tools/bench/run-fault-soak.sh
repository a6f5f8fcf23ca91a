#!/usr/bin/env bash
# Builds and runs the fault soak in an x86_64 build tree:
#   tools/bench/run-fault-soak.sh [build dir] [fault_soak arguments]
# for example  tools/bench/run-fault-soak.sh build/x64 --receipts 1000
exec "$(dirname "$0")/run-bench.sh" fault_soak "$@"
