#!/usr/bin/env bash
# Runs the Windows tier N times while two CPU-bound processes keep both cores busy, and
# prints each run's result and every test that failed in any run. Not part of CI.
#   scripts/test-under-load.sh N
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
runs=${1:-}
if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/test-under-load.sh N" >&2
  exit 2
fi

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
scripts/setup.sh
if ! command -v stress-ng >/dev/null; then
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends stress-ng
fi

cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null

# shellcheck source=scripts/wine-env.sh
source scripts/wine-env.sh
stress-ng --cpu 2 --timeout 0 --quiet &
load=$!
trap 'kill "$load" 2>/dev/null || true; wineserver -k 2>/dev/null || true; [ -z "${QUARN_XVFB_PID:-}" ] || kill "$QUARN_XVFB_PID" 2>/dev/null || true' EXIT

logs="build/windows/under-load"
rm -rf "$logs"
mkdir -p "$logs"
declare -A failures=()
clean=0
for run in $(seq "$runs"); do
  log="$logs/run-$run.log"
  start=$(date +%s)
  ctest --preset windows --output-on-failure >"$log" 2>&1 || true
  seconds=$(($(date +%s) - start))
  summary=$(grep -E '[0-9]+% tests passed' "$log" | tail -n 1 || true)
  failed=$(sed -nE 's/^[[:space:]]+[0-9]+ - ([^ ]+) \((Failed|Timeout|SEGFAULT|Exception|Not Run).*$/\1 (\2)/p' "$log")
  echo "run $run: ${summary:-no result} in ${seconds} s"
  if [ -z "$failed" ] && [ -n "$summary" ]; then clean=$((clean + 1)); fi
  while IFS= read -r test; do
    [ -n "$test" ] && failures["$test"]+=" $run"
  done <<<"$failed"
done

echo
echo "clean runs: $clean of $runs (logs in $logs)"
for test in "${!failures[@]}"; do
  echo "failed: $test in run(s)${failures[$test]}"
done
[ "$clean" -eq "$runs" ]
