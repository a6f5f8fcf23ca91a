#!/usr/bin/env bash
# Builds the deliverables and the installers of both architectures (no
# tests: tools/test.sh builds and runs those) and says where they are.
#   tools/build.sh [--sign CERT.pfx] [--timestamp URL] [--build-prefix DIR/NAME-]
#   --sign CERT.pfx    sign every module and both installers with Authenticode
#                      (osslsigncode); the password is read from the
#                      environment variable KERUNEL_SIGN_PASSWORD
#   --timestamp URL    have the signatures time-stamped by this server
#   --build-prefix P   build in Px64 and Px86 (default build/, and build/signed-
#                      with --sign, so that test and everyday builds never sign)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage() {
  sed -n '4,10s/^# \{0,1\}//p' "$0" >&2
  exit 2
}
sign="" prefix=""
while [ $# -gt 0 ]; do
  case $1 in
    --sign) [ $# -ge 2 ] || usage; sign=$(realpath -m "$2"); shift 2 ;;
    --timestamp) [ $# -ge 2 ] || usage; export KERUNEL_SIGN_TIMESTAMP=$2; shift 2 ;;
    --build-prefix) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
    *) usage ;;
  esac
done
[ -n "$prefix" ] || prefix=$root/build/${sign:+signed-}
if [ -n "$sign" ] && [ ! -r "$sign" ]; then
  echo "build.sh: cannot read the certificate $sign" >&2
  exit 2
fi
cd "$root"
. tools/env.sh
kr_install_packages
for arch in x64 x86; do
  dir=$prefix$arch
  if [ -f "$dir/build.ninja" ]; then
    # Signing on or off, as asked this time (an earlier build may differ).
    cmake -S "$root" -B "$dir" -DKERUNEL_SIGN_PFX="$sign" >/dev/null
  else
    KR_CMAKE_ARGS="-DKERUNEL_SIGN_PFX=$sign"
  fi
  KR_CMAKE_ARGS=${KR_CMAKE_ARGS:-} kr_build "$arch" "$dir" deliverables installer
  unset KR_CMAKE_ARGS
done
echo "== deliverables${sign:+ (signed)}"
for arch in x64 x86; do
  echo "$arch: $prefix$arch/bin"
  sed 's/^[a-z]* /  /' "$prefix$arch/deliverables.txt"
done
echo "== installers${sign:+ (signed)}"
ls -1 "${prefix}x64"/installer/*.msi "${prefix}x86"/installer/*.msi
