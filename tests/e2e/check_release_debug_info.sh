#!/usr/bin/env bash
# The release executable is stripped, and its debug information is in the file its debug
# link names, beside it: a code address in the stripped file still resolves to a source line.
#   check_release_debug_info.sh QuarnVelmora.exe
set -euo pipefail
exe=$1
tools=x86_64-w64-mingw32
failures=0
check() {
  local name=$1; shift
  if "$@"; then echo "ok: $name"; else echo "FAILED: $name"; failures=$((failures + 1)); fi
}

sections=$($tools-objdump -h "$exe" | awk '$1 ~ /^[0-9]+$/ { print $2 }')
check "no debug sections in the executable" test -z "$(grep '^\.debug' <<<"$sections" || true)"
check "no symbol table in the executable" bash -c "! $tools-nm '$exe' 2>&1 | grep -q ' T '"
check "the relocations stay (the exports are loaded as a library)" grep -qx '\.reloc' <<<"$sections"

# .gnu_debuglink: the file name, zero padding to a multiple of 4, then the CRC-32 of the file.
section=$(mktemp)
trap 'rm -f "$section"' EXIT
$tools-objcopy --dump-section .gnu_debuglink="$section" "$exe" /dev/null 2>/dev/null || true
read -r name stored crc < <(python3 - "$section" "$(dirname "$exe")" <<'PY'
import os, sys, zlib
data = open(sys.argv[1], "rb").read()
name = data.split(b"\0", 1)[0].decode() if data else ""
stored = int.from_bytes(data[-4:], "little") if len(data) >= 8 else 0
path = os.path.join(sys.argv[2], name)
crc = zlib.crc32(open(path, "rb").read()) if name and os.path.isfile(path) else -1
print(name or "-", "%08x" % stored, "%08x" % crc if crc >= 0 else "none")
PY
)
debug="$(dirname "$exe")/$name"
check "the debug link names $name, beside the executable" test -f "$debug"
check "the link's checksum matches the debug file" test "$stored" = "$crc"

addr=$($tools-nm -C "$debug" | awk '$2 == "T" && /PipeServer::HandleNamedPipeData/ && !found { print $1; found = 1 }')
check "the debug file has the program's own symbols" test -n "$addr"
where=$($tools-addr2line -f -C -e "$exe" "0x${addr:-0}" | tail -n 1)
check "an address in the stripped executable resolves to its source line ($where)" \
  grep -Eq 'channels/pipe_server\.cpp:[0-9]+$' <<<"$where"

echo "release debug info: $(stat -c %s "$exe") bytes stripped, $(stat -c %s "$debug") bytes of debug information"
[ "$failures" -eq 0 ]
