#!/usr/bin/env bash
# Signs Windows modules and installer packages in place with Authenticode
# (osslsigncode, SHA-256), for tools/build.sh --sign:
#   tools/sign.sh CERT.pfx FILE...
# CERT.pfx holds the certificate and its private key; its password comes
# from the environment (KERUNEL_SIGN_PASSWORD, never on a command line), a
# time stamp server from KERUNEL_SIGN_TIMESTAMP when set.
set -euo pipefail
[ $# -ge 2 ] || { sed -n '2,7s/^# \{0,1\}//p' "$0" >&2; exit 2; }
pfx=$1; shift
[ -r "$pfx" ] || { echo "sign.sh: cannot read the certificate $pfx" >&2; exit 2; }
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is not installed" >&2; exit 2; }
args=(-pkcs12 "$pfx" -h sha256 -n "Kerunel fiscal printer suite")
[ -n "${KERUNEL_SIGN_TIMESTAMP:-}" ] && args+=(-ts "$KERUNEL_SIGN_TIMESTAMP")
for file in "$@"; do
  if ! osslsigncode sign "${args[@]}" -readpass <(printf '%s' "${KERUNEL_SIGN_PASSWORD:-}") \
      -in "$file" -out "$file.signed" >"$file.sign.log" 2>&1; then
    cat "$file.sign.log" >&2
    rm -f "$file.signed" "$file.sign.log"
    echo "sign.sh: $file could not be signed" >&2
    exit 1
  fi
  rm -f "$file.sign.log"
  mv -f "$file.signed" "$file"
done
