#!/usr/bin/env bash
# Measures what the release QuarnVelmora.exe does while nothing happens: after start-up
# settles (4G modem, SIM ready, icon shown), the CPU time and context switches of each of
# its threads over SECONDS (default 60). The emulator's facades live in the same process
# (they stand in for Windows' own notification services); the report tells their threads
# (named emu-*) from the program's (its main thread and the threads it names quarn-*).
#   measure_idle.sh QuarnVelmora.exe tray_probe.exe EMULATOR_DIR [SECONDS]
set -euo pipefail
exe=$(realpath "$1")
probe=$(realpath "$2")
emu=$(realpath "$3")
seconds=${4:-60}
# shellcheck source=tests/e2e/e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"

ctl modem 4g >/dev/null
check "the window appears" start_app
check "the icon shows" probe wait-icon shown 15000
sleep 5
pid=$(pgrep -f 'app/QuarnVelmora.exe' | head -n 1)

echo "per thread over ${seconds}s (cpu ticks of 10 ms, context switches):"
"$(dirname "$0")/thread_usage.sh" "$pid" "$seconds" | awk '
  { printf "  %-8s %-16s %-9s %4d ticks %6d switches\n", $1, $2, $3, $4, $5; t[$3] += $4; s[$3] += $5 }
  END { for (o in t) printf "%s threads: %d ticks (%.2f s CPU), %d context switches\n", o, t[o], t[o] / 100, s[o] }'
exit_app >/dev/null || true
finish idle
