#!/usr/bin/env bash
# Counts non-blank C and C++ lines of the repository's own source: tests (unit and Wine
# tests, their support, the test children and the probe, the fuzz targets) against
# everything else (product, emulator, the benchmark's tools), and prints the tests' share.
#   scripts/count-code.sh
set -euo pipefail
cd "$(dirname "$0")/.."
is_test() {
  case "$1" in
    tests/bench/*) return 1 ;;  # the benchmark's tools measure and assert nothing
    *_test.cpp | *_test.h | tests/* | fuzz/*) return 0 ;;
    *) return 1 ;;
  esac
}
tests=0
code=0
while IFS= read -r file; do
  case "$file" in
    *.cpp | *.h | *.c) ;;
    *) continue ;;
  esac
  lines=$(grep -c -v '^[[:space:]]*$' "$file" || true)
  if is_test "$file"; then tests=$((tests + lines)); else code=$((code + lines)); fi
done < <(git ls-files)
total=$((tests + code))
echo "code: $code lines, tests: $tests lines, tests' share: $((100 * tests / total))% of $total"
