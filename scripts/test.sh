#!/usr/bin/env bash
# Sets up, builds and runs every test tier: native (plain, ASan+UBSan, TSan), the
# benchmark, the fuzzers' short runs, and the Windows tests and end-to-end run under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/setup.sh

passed=0
failed=0
failed_tiers=()

# Runs one preset's tests and adds ctest's counts to the totals.
run_tier() {
  local preset=$1
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  local log="build/$preset/ctest.log" status=0
  ctest --preset "$preset" --output-on-failure 2>&1 | tee "$log" || status=$?
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -z "$line" ]; then
    failed=$((failed + 1)); failed_tiers+=("$preset (no result)")
    return
  fi
  local total bad
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - bad)); failed=$((failed + bad))
  if [ "$bad" -ne 0 ] || [ "$status" -ne 0 ]; then failed_tiers+=("$preset"); fi
}

run_tier native
echo "=== trace benchmark (one statement vs a bare vsnprintf)"
build/native/trace_bench --benchmark_min_time=0.2 --benchmark_format=json > build/native/trace_bench.json
python3 scripts/bench_ratios.py build/native/trace_bench.json

run_tier asan
run_tier tsan
run_tier fuzz

# The Windows tier needs an X display for windows, menus and the notification area.
# shellcheck source=scripts/wine-env.sh
source scripts/wine-env.sh
trap 'wineserver -k 2>/dev/null || true; [ -z "${QUARN_XVFB_PID:-}" ] || kill "$QUARN_XVFB_PID" 2>/dev/null || true' EXIT
run_tier windows

echo
if [ ${#failed_tiers[@]} -ne 0 ]; then echo "failing tiers: ${failed_tiers[*]}"; fi
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ ${#failed_tiers[@]} -eq 0 ]
