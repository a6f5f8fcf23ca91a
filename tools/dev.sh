#!/usr/bin/env bash
# Developer loop for one x86_64 build tree of your own:
#   tools/dev.sh <build dir> [-t target]... [-- ctest arguments]
# builds the named targets (all when none), makes the tree's Wine prefix
# and runs ctest in a virtual display, for example
#   tools/dev.sh build/mine -t sandoral_tests -- -R Sandoral
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage() {
  sed -n '2,6s/^# \{0,1\}//p' "$0" >&2
  exit 2
}
[ $# -gt 0 ] && [ "$1" != "-h" ] && [ "$1" != "--help" ] || usage
. "$root/tools/env.sh"
dir=$(realpath -m "$1"); shift
targets=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  [ "$1" = "-t" ] && [ $# -ge 2 ] && { targets+=("$2"); shift 2; continue; }
  echo "dev.sh: unknown argument $1" >&2
  usage
done
[ "${1:-}" = "--" ] && shift
kr_build x64 "$dir" "${targets[@]}"
kr_wine_prefix "$dir"
xvfb-run -a -s "-screen 0 1024x768x24" bash "$root/tools/run-ctest.sh" "$dir" "$@"
