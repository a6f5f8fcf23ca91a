#!/usr/bin/env bash
# tools/build.sh --sign with a certificate made for this test only: every
# module of both architectures, both installers and the modules inside them
# carry a signature that verifies against it. The trees are built next to
# the tested one (BUILD_DIR/../signing-x64, -x86), so that the compiler
# cache serves them. Exit 77 (skipped) without osslsigncode or openssl.
#   signing_test.sh <source root> <build dir>
set -uo pipefail
root=$1 build=$(realpath -m "$2")
for tool in osslsigncode openssl msiextract; do
  command -v $tool >/dev/null || { echo "no $tool: skipped"; exit 77; }
done
command -v ccache >/dev/null && export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KERUNEL_SIGN_PASSWORD=throwaway-$$
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Kerunel signing test" -addext "extendedKeyUsage=codeSigning" 2>/dev/null &&
  openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/test.pfx" \
    -passout env:KERUNEL_SIGN_PASSWORD || { echo "FAILED: no test certificate"; exit 1; }
prefix=$(dirname "$build")/signing-
start=$(date +%s)
bash "$root/tools/build.sh" --sign "$work/test.pfx" --build-prefix "$prefix" >"$work/build.log" 2>&1 ||
  { tail -30 "$work/build.log"; echo "FAILED: build.sh --sign"; exit 1; }
echo "build.sh --sign: $(($(date +%s) - start)) s for both architectures"

failures=0 count=0
verify() {  # verify <file>: its signature holds against the test certificate
  count=$((count + 1))
  if ! osslsigncode verify -CAfile "$work/cert.pem" -in "$1" 2>&1 | grep -q "^Signature verification: ok"; then
    failures=$((failures + 1))
    echo "FAILED: $1 is not signed by the test certificate"
  fi
}
for arch in x64 x86; do
  tree=$prefix$arch
  while read -r _ file; do verify "$tree/bin/$file"; done <"$tree/deliverables.txt"
  for msi in "$tree"/installer/*.msi; do
    verify "$msi"
    mkdir -p "$work/$arch" && (cd "$work/$arch" && msiextract "$msi" >/dev/null)
    while read -r _ file; do
      inside=$(find "$work/$arch" -name "$file" | head -1)
      [ -n "$inside" ] && verify "$inside" || { failures=$((failures + 1)); echo "FAILED: $file not in $msi"; }
    done <"$tree/deliverables.txt"
  done
done
echo "$((count - failures)) signatures verified, $failures failed"
[ "$failures" -eq 0 ]
