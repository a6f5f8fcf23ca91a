#!/usr/bin/env bash
# Builds one benchmark program in an x86_64 build tree and runs it under
# Wine in a virtual display; each run-*.sh beside it names its program:
#   tools/bench/run-bench.sh PROGRAM [build dir] [PROGRAM arguments]
set -euo pipefail
program=$1; shift
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/env.sh"
dir=$(realpath -m "${1:-$root/build/x64}"); [ $# -gt 0 ] && shift
kr_build x64 "$dir" "$program" >/dev/null
kr_wine_prefix "$dir"
cd "$dir/bin"
xvfb-run -a -s "-screen 0 1024x768x24" sh -c 'wineserver -p; wine "$0.exe" "$@"; rc=$?; wineserver -k; exit $rc' \
  "$program" "$@"
