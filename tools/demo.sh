#!/usr/bin/env bash
# The whole road on one machine: test bench -> Kerunel control -> reference
# Service Object -> link driver -> TCP -> virtual fiscal printer.
#
#   tools/demo.sh [--mirevon] [--headless] [--build DIR]
#
# Builds what is missing, prepares the Wine prefix, registers the control
# and the reference Service Object, configures the logical device
# "ZV_FPrinter" over Sandoral (--mirevon: Mirevon) to the ECR simulator's
# virtual fiscal printer and starts it. Then, with a display, it opens the
# Vostrik test bench for you; without one (or with --headless) it prints a
# sample receipt and a Z report through kerunel-cli in a virtual display,
# shows the printer's journal and saves a screenshot of the test bench.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

driver=Sandoral
wire=hexline
headless=0
inside=0
dir=$root/build/x64
while [ $# -gt 0 ]; do
  case $1 in
    --mirevon) driver=Mirevon; wire=hostpc ;;
    --headless) headless=1 ;;
    --build) dir=$(realpath -m "$2"); shift ;;
    --inside) inside=1 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "demo: unknown option $1 (see tools/demo.sh --help)" >&2; exit 2 ;;
  esac
  shift
done

bin=$dir/bin
work=$dir/demo
step_no=${KR_DEMO_STEP:-0}
step() {
  step_no=$((step_no + 1))
  export KR_DEMO_STEP=$step_no
  echo "== [$step_no] $*"
}
fail() {
  echo "demo: $1" >&2
  echo "      what to do: $2" >&2
  exit 1
}
# The Windows path of a file in this machine's tree (Wine's Z: drive).
winpath() { echo "Z:${1//\//\\}"; }

if [ "$inside" = 0 ]; then
  cd "$root"
  . tools/env.sh
  step "packages"
  kr_install_packages || fail "packages could not be installed" \
    "install these with apt-get (as root): $KR_PACKAGES"
  step "build ($dir; a few minutes the first time)"
  mkdir -p "$dir"
  targets=(Kerunel KerunelSO Sandoral Mirevon ecrsim_tool kerunel_cli)
  kr_build x64 "$dir" "${targets[@]}" >"$dir/demo-build.log" 2>&1 ||
    { tail -20 "$dir/demo-build.log" >&2; fail "the build failed (log: $dir/demo-build.log)" \
      "fix the error above, or start from a clean tree: rm -rf $dir"; }
  if cmake --build "$dir" --target help 2>/dev/null | grep -q '^[^ ]*demo_bench'; then
    kr_build x64 "$dir" Vostrik demo_bench >>"$dir/demo-build.log" 2>&1 ||
      fail "the test bench did not build (log: $dir/demo-build.log)" "fix the error in the log"
  fi
  step "Wine prefix"
  kr_wine_prefix "$dir"
  mkdir -p "$work"
  args=(--inside --build "$dir")
  [ "$driver" = Mirevon ] && args+=(--mirevon)
  [ "$headless" = 1 ] && args+=(--headless)
  if [ "$headless" = 0 ] && [ -n "${DISPLAY:-}" ]; then
    exec "$0" "${args[@]}"
  fi
  step "virtual display"
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "${args[@]}" --headless
fi

# --- Inside a display: everything that runs under Wine ---------------------

export WINEPREFIX=$dir/wineprefix WINEDEBUG=-all
wineserver -p
wine wineboot >/dev/null 2>&1 || true
ecrsim_pid=
cleanup() {
  if [ -n "$ecrsim_pid" ]; then
    echo quit >&3 2>/dev/null || true
    exec 3>&- 2>/dev/null || true
    wait "$ecrsim_pid" 2>/dev/null || true
  fi
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

step "register the Kerunel control and the reference Service Object"
cd "$bin"
wine regsvr32 /s Kerunel.ocx || fail "regsvr32 Kerunel.ocx failed" "rebuild: rm -rf $dir; tools/demo.sh"
wine regsvr32 /s KerunelSO.dll || fail "regsvr32 KerunelSO.dll failed" "rebuild: rm -rf $dir; tools/demo.sh"

step "start the virtual fiscal printer ($wire wire)"
journal=$work/journal.txt
: >"$journal"
rm -f "$work/journal.fiscal"  # a new printer each time: its fiscal memory starts empty
rm -f "$work/ecrsim.in" "$work/ecrsim.log"
mkfifo "$work/ecrsim.in"
wine ecrsim.exe --wire "$wire" --port 0 --journal "$(winpath "$journal")" --quiet \
  <"$work/ecrsim.in" >"$work/ecrsim.log" 2>&1 &
ecrsim_pid=$!
exec 3>"$work/ecrsim.in"  # the simulator runs while this stays open
port=
for _ in $(seq 1 100); do
  port=$(sed -n 's/^port \([0-9]*\).*/\1/p' "$work/ecrsim.log" 2>/dev/null | head -1)
  [ -n "$port" ] && break
  kill -0 "$ecrsim_pid" 2>/dev/null || break
  sleep 0.2
done
[ -n "$port" ] || fail "the ECR simulator did not start: $(cat "$work/ecrsim.log")" \
  "check that $bin/ecrsim.exe runs: wine $bin/ecrsim.exe --printer"
echo "   listening on 127.0.0.1:$port, journal $journal"

step "configure ZV_FPrinter: $driver to 127.0.0.1:$port"
# As a technician would: the device starts afresh with this run's port.
wine kerunel-cli.exe device remove ZV_FPrinter >/dev/null 2>&1 || true
wine kerunel-cli.exe device add ZV_FPrinter "LinkDriver=$driver" \
  "Link=@ECRIP='127.0.0.1',ECRPortNumber=$port,OnLine=1" >/dev/null ||
  fail "the device key could not be written" "check the Wine prefix: rm -rf $dir/wineprefix"

if [ "$headless" = 0 ]; then
  if [ -x "$bin/Vostrik.exe" ]; then
    step "open Vostrik: press Open (ZV_FPrinter), Claim, Enable, then print"
    wine Vostrik.exe || true
    exit 0
  fi
  echo "   the Vostrik test bench is not built in this tree yet: printing the sample instead"
fi

step "print a sample receipt and a Z report through kerunel-cli"
set +e
wine kerunel-cli.exe "$(winpath "$root/tools/demo/receipt.kcli")"
rc=$?
set -e
[ $rc = 0 ] || fail "a call of the sample failed (exit status $rc; see above)" \
  "read the UNEXPECTED line above; $work/ecrsim.log has the simulator's side"

step "the printer's journal ($journal)"
cat "$journal"

step "a receipt from the Vostrik test bench, and its screenshot"
if [ -x "$bin/Vostrik.exe" ] && [ -x "$bin/demo_bench.exe" ]; then
  printed=$(wc -c <"$journal")
  rm -f "$work/bench.in" "$work/bench.log" "$work/vostrik.png"
  mkfifo "$work/bench.in"
  wine demo_bench.exe <"$work/bench.in" >"$work/bench.log" 2>&1 &
  bench_pid=$!
  exec 4>"$work/bench.in"  # the bench stays up while this is open
  for _ in $(seq 1 300); do
    grep -q '^ready' "$work/bench.log" 2>/dev/null && break
    kill -0 "$bench_pid" 2>/dev/null || break
    sleep 0.2
  done
  grep -v '^ready' "$work/bench.log" || true
  if grep -q '^ready' "$work/bench.log"; then
    sleep 1  # the last repaint
    import -window root "$work/vostrik.png" && echo "   screenshot: $work/vostrik.png"
  fi
  exec 4>&-
  set +e
  wait "$bench_pid"
  rc=$?
  set -e
  [ $rc = 0 ] || fail "the test bench's receipt failed (exit status $rc; see above)" \
    "read the result codes above; $work/ecrsim.log has the simulator's side"
  echo "   the journal since:"
  tail -c +"$((printed + 1))" "$journal"
else
  echo "   skipped: Vostrik.exe is not built in this tree"
fi
echo "== done: the receipt went through Kerunel -> KerunelSO -> $driver -> TCP -> the virtual printer"
