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
if [ -f "$bin/ecrsim.exe" ]; then
  sim="$bin/ecrsim.exe"
  expect 0 "--wire hostpc    the wire of Mirevon.dll" wine "$sim" --help
  expect 2 "--port 70000: not a port (0 to 65535)" wine "$sim" --port 70000
  expect 2 "--port x: not a port" wine "$sim" --port x
  expect 2 "--status zz: not one hex byte" wine "$sim" --status zz
  expect 2 "--answer A:4G: not C:HEX" wine "$sim" --answer A:4G
  expect 2 "--error A:300: not C:NN" wine "$sim" --error A:300
  expect 2 "--wire rs232: the wire is hexline (Sandoral) or hostpc (Mirevon)" wine "$sim" --wire rs232
  expect 2 "--delay needs a value" wine "$sim" --delay
  expect 2 "unknown argument --prot" wine "$sim" --prot 5
  # With its standard input closed it keeps running (until killed) ...
  count=$((count + 1))
  wine "$sim" --port 0 --quiet </dev/null >"$alone/sim.out" 2>&1 &
  sim_pid=$!
  sleep 3
  if ! kill -0 "$sim_pid" 2>/dev/null || ! grep -q "^port " "$alone/sim.out"; then
    failures=$((failures + 1))
    echo "FAILED: ecrsim ended when its standard input closed: $(cat "$alone/sim.out")"
  fi
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  # ... unless asked to end then.
  expect 0 "port " timeout 20 wine "$sim" --port 0 --quiet --quit-on-eof
fi
echo "$((count - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
