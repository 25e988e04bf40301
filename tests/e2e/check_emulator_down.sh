#!/usr/bin/env bash
# A run whose emulator does not come up ends within 30 s with one line that says so. The
# server here is a program that ends at once with exit code 86 and a word on stderr; the rest
# of the emulator's files are the real ones, linked, so the prefix keeps their registration.
#   check_emulator_down.sh QuarnVelmora.exe tray_probe.exe EMULATOR_DIR console_child.exe
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
emu=$(realpath "$3")
down=$(mktemp -d "$(dirname "$emu")/emu-down.XXXXXX")
trap 'rm -rf "$down"' EXIT
for file in "$emu"/*; do [ -f "$file" ] && ln -s "$file" "$down/"; done
rm "$down/modem_emu_server.exe"
cp "$4" "$down/modem_emu_server.exe"

started=$(date +%s%3N)
code=0
output=$("$here/run_e2e.sh" "$1" "$2" "$down" 2>&1) || code=$?
elapsed=$(( $(date +%s%3N) - started ))
printf '%s\n' "$output"

status=0
expect() { if ! "$@"; then echo "FAILED: expected: $*"; status=1; fi; }
expect test "$code" -ne 0
expect test "$elapsed" -lt 30000
expect grep -q -F "FAILED: the emulator did not come up: modem_emu_server ended with exit code 86 after" <<<"$output"
expect grep -q -F "(console_child: unknown mode)" <<<"$output"
expect test "$(grep -c '^FAILED: ' <<<"$output")" = 1
expect test "$(grep -c '^ok: ' <<<"$output")" = 0
echo "the run ended after $elapsed ms with exit code $code"
exit "$status"
