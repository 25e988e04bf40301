#!/usr/bin/env bash
# The export table of QuarnVelmora.exe holds exactly the names that the Microsoft C++ ABI
# gives the wrapper's signatures: clang, targeting that ABI, decorates the declarations in
# export_signatures.cpp, and the two lists must match.
#   check_export_names.sh QuarnVelmora.exe
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
obj=$(mktemp --suffix=.obj)
trap 'rm -f "$obj"' EXIT
clang++-14 --target=x86_64-pc-windows-msvc -c "$here/export_signatures.cpp" -o "$obj"
expected=$(x86_64-w64-mingw32-nm --defined-only "$obj" | awk '$2 == "T" { print $3 }' | sort)
actual=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
         tail -n +2 | awk -F'\] ' 'NF > 1 { print $2 }' | sort)
if [ "$expected" != "$actual" ]; then
  diff <(echo "$expected") <(echo "$actual") || true
  echo "export names differ (< Microsoft ABI, > QuarnVelmora.exe)"
  exit 1
fi
echo "export names: $(echo "$actual" | wc -l) match the Microsoft C++ decoration"
