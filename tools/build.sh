#!/usr/bin/env bash
# Builds the deliverables and the installers of both architectures (no
# tests: tools/test.sh builds and runs those) and says where they are.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. tools/env.sh
kr_install_packages
for arch in x64 x86; do
  kr_build "$arch" "$root/build/$arch" deliverables installer
done
echo "== deliverables"
for arch in x64 x86; do
  echo "$arch: $root/build/$arch/bin"
  sed 's/^[a-z]* /  /' "$root/build/$arch/deliverables.txt"
done
echo "== installers"
ls -1 "$root"/build/*/installer/*.msi
