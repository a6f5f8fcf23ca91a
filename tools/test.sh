#!/usr/bin/env bash
# Builds everything and runs every test: installs the Debian packages it
# needs when they are missing, runs the host-native tests, builds both
# architectures, checks the 32-bit modules, runs ctest under Wine in a
# virtual display and runs the fuzzers for a bounded time.
#   FUZZ_SECONDS=<n>   time per fuzzer (default 30; 0 skips fuzzing)
#   CTEST_ARGS=...     extra arguments for ctest (for example -R Sandoral)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# shellcheck source=tools/env.sh
. tools/env.sh

kr_install_packages
echo "== native tests (the fiscal core, the receipt model against the virtual printer)"
bash "$root/tools/native-tests.sh"
kr_build x64
kr_build x86
kr_wine_prefix

echo "== ctest (x86_64, under Wine)"
xvfb-run -a -s "-screen 0 1024x768x24" bash "$root/tools/run-ctest.sh" "$root/build/x64" ${CTEST_ARGS:-}

fuzz_seconds=${FUZZ_SECONDS:-30}
if [ "$fuzz_seconds" != 0 ]; then
  echo "== fuzzers (native, ${fuzz_seconds}s each)"
  bash "$root/tools/fuzz.sh" "$fuzz_seconds"
fi
echo "== all tests passed"
