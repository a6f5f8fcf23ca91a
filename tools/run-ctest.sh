#!/usr/bin/env bash
# Runs ctest for one build tree inside the current (virtual) display, with
# one wineserver kept alive for the whole run.
set -uo pipefail
dir=$1; shift
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all
wineserver -p
wine wineboot >/dev/null 2>&1
(cd "$dir" && ctest --output-on-failure --timeout 600 "$@")
rc=$?
wineserver -k
exit $rc
