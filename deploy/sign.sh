#!/usr/bin/env bash
# Signs one executable or package with Authenticode (SHA-256).
#   sign.sh CERT.pem KEY.pem IN OUT
# QUARN_SIGN_PASSWORD: the key's password, if it has one. QUARN_SIGN_TIMESTAMP_URL: an
# RFC 3161 time-stamping service, so that the signature outlives the certificate.
set -euo pipefail
if [ $# -ne 4 ]; then echo "usage: sign.sh CERT KEY IN OUT" >&2; exit 2; fi
args=(sign -certs "$1" -key "$2" -h sha256 -n QuarnVelmora -in "$3" -out "$4")
if [ -n "${QUARN_SIGN_PASSWORD:-}" ]; then args+=(-pass "$QUARN_SIGN_PASSWORD"); fi
if [ -n "${QUARN_SIGN_TIMESTAMP_URL:-}" ]; then args+=(-ts "$QUARN_SIGN_TIMESTAMP_URL"); fi
rm -f "$4"
osslsigncode "${args[@]}" >/dev/null
