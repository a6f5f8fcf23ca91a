#!/usr/bin/env bash
# Builds and runs the fault soak in an x86_64 build tree:
#   tools/bench/run-fault-soak.sh [build dir] [fault_soak arguments]
# for example  tools/bench/run-fault-soak.sh build/x64 --receipts 1000
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/env.sh"
dir=$(realpath -m "${1:-$root/build/x64}"); [ $# -gt 0 ] && shift
kr_build x64 "$dir" fault_soak >/dev/null
kr_wine_prefix "$dir"
cd "$dir/bin"
xvfb-run -a -s "-screen 0 1024x768x24" sh -c 'wineserver -p; wine fault_soak.exe "$@"; rc=$?; wineserver -k; exit $rc' \
  fault_soak "$@"
