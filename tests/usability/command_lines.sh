#!/usr/bin/env bash
# Runs each command line of the table and checks its exit code and that
# its output names the problem.
#   command_lines.sh <source dir> <bin dir>
set -uo pipefail
src=$1 bin=$2
alone=$(mktemp -d)
trap 'rm -rf "$alone"' EXIT
# link_bench without the drivers next to it.
[ -f "$bin/link_bench.exe" ] && cp "$bin/link_bench.exe" "$alone/"

failures=0 count=0
# expect <exit code> <text in the output> <command...>
expect() {
  local code=$1 text=$2; shift 2
  local out rc
  out=$("$@" 2>&1 </dev/null); rc=$?
  count=$((count + 1))
  if [ "$rc" -ne "$code" ] || ! grep -qF -- "$text" <<<"$out"; then
    failures=$((failures + 1))
    echo "FAILED: $* -> exit $rc (want $code), output:"
    echo "$out" | head -5
  fi
}

expect 2 "tools/dev.sh <build dir>" bash "$src/tools/dev.sh"
expect 2 "unknown argument -x" bash "$src/tools/dev.sh" "$alone/none" -x
if [ -f "$bin/link_bench.exe" ]; then
  expect 2 "bad number for --count: ten" wine "$bin/link_bench.exe" --count ten
  expect 2 "bad number for --idle: -1" wine "$bin/link_bench.exe" --idle -1
  expect 2 "unknown driver Sandorall" wine "$bin/link_bench.exe" --driver Sandorall
  expect 2 "unknown argument --cont" wine "$bin/link_bench.exe" --cont 5
  expect 2 "no value after --burst" wine "$bin/link_bench.exe" --burst
  expect 1 "Sandoral.dll not found" wine "$alone/link_bench.exe" --count 1 --idle 0 --driver Sandoral
fi
echo "$((count - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
