#!/usr/bin/env bash
# Measures what the release QuarnVelmora.exe does while nothing happens: after start-up
# settles (4G modem, SIM ready, icon shown), the CPU time and context switches of each of
# its threads over SECONDS (default 60). The emulator's facades live in the same process
# (they stand in for Windows' own notification services); their threads are named in the
# report by what they wait in.
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

snapshot() {  # tid utime+stime(ticks) voluntary+involuntary switches
  for task in /proc/"$pid"/task/*; do
    local tid=${task##*/} stat switches
    stat=$(cut -d' ' -f14,15 "$task/stat" | awk '{print $1 + $2}')
    switches=$(awk '/ctxt_switches/ {s += $2} END {print s}' "$task/status")
    echo "$tid $stat $switches"
  done | sort -n
}
before=$(snapshot)
sleep "$seconds"
after=$(snapshot)

echo "per thread over ${seconds}s (tid: cpu ticks of 10 ms, context switches):"
join <(echo "$before") <(echo "$after") | awk '{printf "  %s: %d ticks, %d switches\n", $1, $4 - $2, $5 - $3; t += $4 - $2; s += $5 - $3} END {printf "total: %d ticks (%.2f s CPU), %d context switches\n", t, t / 100, s}'
exit_app >/dev/null || true
finish idle
