#!/usr/bin/env bash
# Authenticode signing with a throw-away certificate: the executable, the stopper and the
# package get a signature that osslsigncode verifies against that certificate, and nothing
# else in them changes; the package build signs what it packs when given a certificate,
# and the build without one leaves everything unsigned.
#   check_signing.sh QuarnVelmora.exe StopQuarnVelmora.exe UNSIGNED.msi VERSION
set -euo pipefail
exe=$(realpath "$1")
stopper=$(realpath "$2")
package=$(realpath "$3")
version=$4
here=$(cd "$(dirname "$0")" && pwd)
deploy="$here/../../deploy"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0
check() {
  local name=$1; shift
  if "$@"; then echo "ok: $name"; passes=$((passes + 1)); else echo "FAILED: $name"; failures=$((failures + 1)); fi
}

# A certificate for code signing, valid for a day, made for this run only; and a second
# one that signed nothing, to show that verification checks whose signature it is.
make_cert() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/$1.key" -out "$work/$1.pem" -days 1 \
    -subj "/CN=QuarnVelmora throw-away test signer $1" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" 2>/dev/null
}
make_cert signer
make_cert stranger

verifies() {  # verifies FILE CA
  osslsigncode verify -CAfile "$2" -in "$1" > "$work/verify.log" 2>&1 &&
    grep -q '^Signature verification: ok' "$work/verify.log"
}
unsigned() { ! osslsigncode verify -in "$1" > /dev/null 2>&1; }

# Nothing but the signature differs: the checksum and the security directory entry of the
# PE header are zeroed in both, the original must then be the start of the signed file, and
# what follows it is alignment padding and the certificate table, which ends the file.
pe_unchanged_but_signature() {
  python3 - "$1" "$2" <<'PY'
import sys
original, signed = (bytearray(open(p, "rb").read()) for p in sys.argv[1:3])
def header(data):
    pe = int.from_bytes(data[0x3C:0x40], "little")
    optional = pe + 24
    pe32_plus = int.from_bytes(data[optional:optional + 2], "little") == 0x20B
    security = optional + (112 if pe32_plus else 96) + 4 * 8
    return optional + 64, security
checksum, security = header(signed)
table = int.from_bytes(signed[security:security + 4], "little")
size = int.from_bytes(signed[security + 4:security + 8], "little")
for data in (original, signed):
    data[checksum:checksum + 4] = bytes(4)
    data[security:security + 8] = bytes(8)
ok = (table >= len(original) and table + size == len(signed) and signed[:len(original)] == original
      and not any(signed[len(original):table]))
sys.exit(0 if ok else 1)
PY
}
# Same tables and streams, and one stream more: the signature.
msi_unchanged_but_signature() {
  mkdir -p "$work/before" "$work/after"
  # msidump writes the Binary table's rows below its working directory.
  (cd "$work/before" && msidump -t -s -d . "$1" > /dev/null)
  (cd "$work/after" && msidump -t -s -d . "$2" > /dev/null)
  diff -r "$work/before" "$work/after" > "$work/msi.diff" || true
  rm -rf "$work/before" "$work/after"
  # The signature's stream name starts with the control character 5.
  test "$(tr -d '\005' < "$work/msi.diff")" = "Only in $work/after/_Streams: DigitalSignature"
}

echo "== signing each file"
for file in "$exe" "$stopper" "$package"; do
  name=$(basename "$file")
  check "$name is unsigned as built" unsigned "$file"
  "$deploy/sign.sh" "$work/signer.pem" "$work/signer.key" "$file" "$work/$name"
  check "$name: the signature verifies against the signing certificate" verifies "$work/$name" "$work/signer.pem"
  check "$name: ... and not against another certificate" bash -c "! osslsigncode verify -CAfile '$work/stranger.pem' -in '$work/$name' >/dev/null 2>&1"
  case $name in
    *.msi) check "$name: otherwise unchanged (tables, their binary data and streams)" \
             msi_unchanged_but_signature "$file" "$work/$name" ;;
    *) check "$name: otherwise unchanged (bytes, header checksum aside)" pe_unchanged_but_signature "$file" "$work/$name" ;;
  esac
done

echo "== the package build with a certificate"
"$deploy/build_package.sh" --version "$version" --exe "$exe" --stopper "$stopper" \
  --config "$here/../../app/demo/QuarnVelmora.exe.config" --profile "$deploy/QuarnVelmora.wprp" \
  --out "$work/signed.msi" --cert "$work/signer.pem" --key "$work/signer.key" > /dev/null
check "the package is signed" verifies "$work/signed.msi" "$work/signer.pem"
mkdir -p "$work/extracted"
msiextract -C "$work/extracted" "$work/signed.msi" > /dev/null
packed=$(find "$work/extracted" -name QuarnVelmora.exe)
check "the executable in it is signed" verifies "$packed" "$work/signer.pem"
check "... and is the release build otherwise" pe_unchanged_but_signature "$exe" "$packed"
msiinfo extract "$work/signed.msi" Binary.StopperBinary > "$work/stopper-in-package.exe"
check "the stopper in it is signed" verifies "$work/stopper-in-package.exe" "$work/signer.pem"
check "... and is the built stopper otherwise" pe_unchanged_but_signature "$stopper" "$work/stopper-in-package.exe"
check "the settings file is not touched" cmp -s "$(find "$work/extracted" -name QuarnVelmora.exe.config)" \
  "$here/../../app/demo/QuarnVelmora.exe.config"

echo "signing: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
