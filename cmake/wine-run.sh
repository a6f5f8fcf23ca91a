#!/bin/sh
# Runs a Windows program under 64-bit Wine with the project's private prefix.
# WINEPREFIX is set by tools/test.sh; the default keeps a plain `ctest` usable.
: "${WINEPREFIX:=$(dirname "$0")/../build/x64/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
