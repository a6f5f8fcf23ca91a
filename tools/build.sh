#!/usr/bin/env bash
# Builds all deliverables for both architectures and lists where they are.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. tools/env.sh
kr_install_packages
kr_build x64
kr_build x86
echo "== deliverables"
for arch in x64 x86; do
  find "$root/build/$arch/bin" -maxdepth 1 -type f \( -iname '*.ocx' -o -iname '*.dll' -o -iname '*.exe' \) \
    \( -iname 'Kerunel.ocx' -o -iname 'Sandoral.dll' -o -iname 'Mirevon.dll' -o -iname 'Vostrik.exe' \
       -o -iname 'KerunelSO.dll' -o -iname 'kerunel-cli.exe' \) 2>/dev/null | sort
done
