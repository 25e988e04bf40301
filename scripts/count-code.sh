#!/usr/bin/env bash
# Counts non-blank lines of the repository's own source: tests (unit and Wine tests, their
# support, the end-to-end scripts, the fuzz targets, the package checks) against everything
# else (product, emulator, the tools that tests and the benchmark drive, deployment, build
# and scripts), and prints the tests' share.
#   scripts/count-code.sh
set -euo pipefail
cd "$(dirname "$0")/.."
is_test() {
  case "$1" in
    # Tools that drive or measure and assert nothing: children, probes, the benchmark's.
    tests/tools/* | tests/e2e/*.cpp | tests/bench/* | tests/e2e/memory_owners.py | tests/e2e/thread_usage.sh) return 1 ;;
    *_test.cpp | *_test.py | tests/* | fuzz/* | deploy/check_*) return 0 ;;
    *) return 1 ;;
  esac
}
tests=0
code=0
while IFS= read -r file; do
  case "$file" in
    *.cpp | *.h | *.c | *.S | *.py | *.sh | *.cmake | CMakeLists.txt | *.rc | *.wxs | *.def) ;;
    *) continue ;;
  esac
  lines=$(grep -c -v '^[[:space:]]*$' "$file" || true)
  if is_test "$file"; then tests=$((tests + lines)); else code=$((code + lines)); fi
done < <(git ls-files)
total=$((tests + code))
echo "code: $code lines, tests: $tests lines, tests' share: $((100 * tests / total))% of $total"
