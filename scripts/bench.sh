#!/usr/bin/env bash
# The benchmark, run by hand (scripts/test.sh does not run it): each figure of the program
# beside its floor measured in the same run, rounds of the two interleaved, and one table of
# ratios and p50/p95/max with the goals. Compare only within one run: the machine is shared.
#
#   scripts/bench.sh [ROUNDS]        ROUNDS per figure and per floor, default 20
#
# Environment: BENCH_PHASES (default "trace eject decision startup idle outlier"),
# IDLE_SECONDS (60), TRACE_REPETITIONS (300), OUTLIER_ROUNDS (ROUNDS).
# Raw rounds are kept in build/bench/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
rounds=${1:-20}
phases=${BENCH_PHASES:-trace eject decision startup idle outlier}
idle_seconds=${IDLE_SECONDS:-60}
trace_repetitions=${TRACE_REPETITIONS:-300}
outlier_rounds=${OUTLIER_ROUNDS:-$rounds}
out=$top/build/bench
mkdir -p "$out"
rm -f "$out"/*
has_phase() { [[ " $phases " == *" $1 "* ]]; }

echo "== build" >&2
if has_phase trace; then
  cmake --preset native >/dev/null && cmake --build --preset native --target trace_bench >/dev/null
fi
cmake --preset windows >/dev/null && cmake --build --preset windows --target bench_driver >/dev/null

if has_phase trace; then
  echo "== trace statement: $trace_repetitions repetitions in random interleaving" >&2
  build/native/trace_bench --benchmark_repetitions="$trace_repetitions" --benchmark_enable_random_interleaving=true \
    --benchmark_min_time=0.005 --benchmark_format=json > "$out/trace.json"
fi

# The release executable under Wine with the emulator, installed as the end-to-end tests do.
exe=$top/build/windows/QuarnVelmora.exe
probe=$top/build/windows/tray_probe.exe
emu=$top/build/windows/emulator
bench=$top/build/windows/bench
# shellcheck source=tests/e2e/e2e_lib.sh
source "$top/tests/e2e/e2e_lib.sh"
cp "$bench/minimal_tray.exe" "$work/app/"
app_dir=$(winepath -w "$work/app")
# The driver starts the programs, which take its environment: the emulator's cfgmgr32.dll and
# powrprof.dll beside them (the driver's own directory has none, so it gets Wine's).
driver() { WINEDLLOVERRIDES="mscoree,mshtml=;cfgmgr32,powrprof=n,b" wine "$bench/bench_driver.exe" "$@"; }
# A driver that stops half-way leaves no program running.
trap 'driver idle-stop >/dev/null 2>&1 || true; cleanup' EXIT

for platform in 4g 5g; do
  if has_phase eject; then
    echo "== eject, $platform: $rounds rounds each" >&2
    driver eject "$platform" "$rounds" "$app_dir" >> "$out/rounds.txt"
  fi
  if has_phase decision; then
    echo "== decision, $platform: $rounds rounds each" >&2
    driver decision "$platform" "$rounds" "$app_dir" "$(winepath -w "$bench/window_message_note.dll")" >> "$out/rounds.txt"
  fi
done
if has_phase startup; then
  echo "== start-up: $rounds rounds each" >&2
  driver startup "$rounds" "$app_dir" >> "$out/rounds.txt"
fi

if has_phase idle; then
  echo "== idle and memory: both programs side by side for ${idle_seconds}s" >&2
  # Into a file, not a pipe: the programs the driver starts inherit its output.
  driver idle-start "$app_dir" > "$out/ids.txt"
  ids=$(tr -d '\r' < "$out/ids.txt")
  tag=$(basename "$work")  # this run's own copies, not another run's
  unix_pid() { pgrep -f "$tag.app.$1" | head -n 1; }
  program_pid=$(unix_pid QuarnVelmora.exe)
  floor_pid=$(unix_pid minimal_tray.exe)
  sleep 5
  "$top/tests/e2e/thread_usage.sh" "$program_pid" "$idle_seconds" | sed 's/^/program /' > "$out/idle.program" &
  program_usage=$!
  "$top/tests/e2e/thread_usage.sh" "$floor_pid" "$idle_seconds" | sed 's/^/floor /' > "$out/idle.floor"
  wait "$program_usage"  # only this one: the emulator runs in the background too
  cat "$out/idle.program" "$out/idle.floor" > "$out/idle.txt"
  # What holds each process's private memory, and its working set (Wine 8 reports no
  # private bytes for another process, so Linux's count of private pages stands for them).
  facades=(quarn_emu_winrt.dll quarn_emu_mbn.dll cfgmgr32.dll powrprof.dll)
  python3 "$top/tests/e2e/memory_owners.py" "$program_pid" "${facades[@]}" | sed 's/^/program /' > "$out/memory.txt"
  python3 "$top/tests/e2e/memory_owners.py" "$floor_pid" | sed 's/^/floor /' >> "$out/memory.txt"
  driver idle-stop
fi

if has_phase outlier; then
  echo "== an eject during the icon's removal: $outlier_rounds rounds each, two rows" >&2
  driver outlier "$outlier_rounds" "$app_dir" >> "$out/rounds.txt"
fi

echo
python3 "$top/scripts/bench_table.py" "$out" "$idle_seconds"
