#!/usr/bin/env bash
# A laptop's day, N times over: the release QuarnVelmora.exe under Wine against the modem
# emulator, through N cycles, each on the 4G modem or the 5G one in turn:
#   the modem goes and comes back, the SIM is ejected from the menu, the SIM comes back with
#   an account event, a suspend and an automatic resume, a hostile pipe client (junk, then a
#   client that holds the pipe), a shell restart ("TaskbarCreated"), and a restart of the
#   mobile broadband service, after which an eject and an account event must still move the
#   icon.
# Each step waits (SOAK_STEP_MS, 20000 by default) for the icon state the SIM calls for. A
# miss is reported with its cycle and step, the emulator's journal of the cycle and the
# program's trace lines of the step, and the run goes on. At the end: the misses, and the
# growth of the program's handles, threads and private memory since the first cycle.
# Run by hand, not part of the test command:
#   scripts/soak.sh N
#   SOAK_PARTS="modem shell" scripts/soak.sh N    only those parts of each cycle
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
cycles=${1:-}
if ! [[ "$cycles" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/soak.sh N" >&2
  exit 2
fi
step_ms=${SOAK_STEP_MS:-20000}
# SOAK_PARTS runs only the parts of a cycle it names, to tell which one a growth comes from.
parts=${SOAK_PARTS:-modem eject power pipe shell service}
for p in $parts; do
  case $p in
    modem | eject | power | pipe | shell | service) ;;
    *) echo "soak: no part '$p' (the parts: modem eject power pipe shell service)" >&2; exit 2 ;;
  esac
done
part() { [[ " $parts " == *" $1 "* ]]; }

scripts/setup.sh >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows --target QuarnVelmora tray_probe proc_census >/dev/null

exe=$top/build/windows/QuarnVelmora.exe
probe=$top/build/windows/tray_probe.exe
emu=$top/build/windows/emulator
census_tool=$top/build/windows/proc_census.exe
# shellcheck source=tests/e2e/e2e_lib.sh
source tests/e2e/e2e_lib.sh
trap - ERR  # a miss is reported by the soak and the run goes on
# The program's trace, copied to the debug output (Wine has no ETW listener).
app_trace=$work/trace.txt
: >"$app_trace"
# The soak's own copies of its tools, so that a build during the run cannot pull them away
# (the program runs from its copy too; the emulator's facades stay where they are registered).
cp "$probe" "$census_tool" "$emu/modem_emu_ctl.exe" "$work/"
probe=$work/tray_probe.exe
census_tool=$work/proc_census.exe
ctl_tool=$work/modem_emu_ctl.exe

# Another program's icon stays in the tray throughout, as on a laptop. Were the program's
# the only one, Wine's notification area would hide its own window each time that icon
# goes, and wait 2 s for a window manager (there is none) to confirm it: 6 s of every cycle.
wine "$probe" hold-icon 4000000000 >"$work/holder.txt" 2>&1 & holder_pid=$!
trap 'kill "$holder_pid" 2>/dev/null || true; cleanup' EXIT
for _ in $(seq 100); do grep -q holding "$work/holder.txt" && break; sleep 0.1; done
if ! grep -q holding "$work/holder.txt"; then
  echo "FAILED: the other icon did not come ($(one_line "$work/holder.txt"))"
  exit 1
fi

misses=0
cycle=0
step=""
step_started=0
trace_mark=0

# Marks a step in the journal and in time; the trace lines after the mark are the step's.
# The SIM ejected from the menu, then back with an account event; SUFFIX names the moment.
eject_and_back() {
  begin_step "Eject SIM from the menu$1"
  probe post 0x111 40001 0 || true
  expect_icon hidden || true

  begin_step "the SIM comes back with an account event$1"
  ctl sim ready >/dev/null
  ctl event updated "account-$platform" device >/dev/null
  expect_icon shown || true
}

begin_step() {
  step=$1
  step_started=$(date +%s%3N)
  trace_mark=$(wc -l <"$app_trace")
  ctl note "soak cycle $cycle: $step" >/dev/null
}
# Waits for the icon state; a miss says where, how long, and what both sides did.
expect_icon() {
  local why
  if why=$(probe wait-icon "$1" "$step_ms" 2>&1); then return 0; fi
  misses=$((misses + 1))
  echo "MISS: cycle $cycle, step '$step': the icon not $1 after $(( $(date +%s%3N) - step_started )) ms ($why)"
  echo "  the emulator's journal of the cycle:"
  ctl journal | sed 's/^/    /'
  echo "  the program's trace since the step began:"
  tail -n +"$((trace_mark + 1))" "$app_trace" | sed -n 's/^.*OutputDebugStringA "\(.*\)"$/    \1/p' | sed 's/\\n$//'
  return 1
}

# "handles threads private_kib" of the program, from outside: the handle and thread counts
# from Wine's system process list, the private memory from Linux (Wine reports none for
# another process).
census() {
  local pid counts
  pid=$(pgrep -f -- "$work/app/QuarnVelmora.exe" | head -n 1)
  counts=$(wine "$census_tool" QuarnVelmora.exe | tr -d '\r' | head -n 1)
  echo "$(sed -E 's/.*handles=([0-9]+) threads=([0-9]+).*/\1 \2/' <<<"$counts")" \
       "$(awk '/^Private_(Clean|Dirty):/ { kib += $2 } END { print kib }' "/proc/$pid/smaps_rollup")"
}

growth() {
  local h0 t0 p0 h1 t1 p1
  read -r h0 t0 p0 <<<"$baseline"
  read -r h1 t1 p1 <<<"$now"
  echo "growth: handles $((h1 - h0)), threads $((t1 - t0)), private memory $((p1 - p0)) KiB"
}

ctl reset >/dev/null; ctl modem 4g >/dev/null; ctl sim ready >/dev/null; ctl slot 1 >/dev/null
started=$(date +%s)
# start_app runs the program with the debug output copy when app_trace is set.
if ! start_app; then
  echo "FAILED: the program did not start"
  exit 1
fi
cycle=0
begin_step "start-up"
expect_icon shown || true

baseline=""
for cycle in $(seq "$cycles"); do
  if [ $((cycle % 2)) -eq 1 ]; then platform=4g; else platform=5g; fi
  ctl journal clear >/dev/null

  if part modem; then
    begin_step "the modem goes"
    ctl modem none >/dev/null
    expect_icon hidden || true

    begin_step "the $platform modem comes back with the SIM ready"
    ctl sim ready >/dev/null
    ctl modem $platform >/dev/null
    expect_icon shown || true
  fi

  if part eject; then
    eject_and_back ""
  fi

  if part power; then
    begin_step "a suspend and an automatic resume"
    ctl power suspend >/dev/null
    ctl power resume-automatic >/dev/null
    expect_icon shown || true
  fi

  if part pipe; then
    begin_step "a hostile pipe client"
    probe pipe-junk 333 >/dev/null 2>&1 || true
    probe pipe-hold 300 >/dev/null 2>&1 || true
    expect_icon shown || true
  fi

  if part shell; then
    begin_step "a shell restart"
    probe taskbar-created || true
    expect_icon shown || true
  fi

  if part service; then
    # Down for 2 s: the program's second new watcher (1 s, then 2 s later) finds it back.
    # The journal from here: the subscriptions looked for are the ones after the restart.
    ctl journal clear >/dev/null
    begin_step "the mobile broadband service restarts"
    ctl service restart 2000 >/dev/null
    if ! ctl --wait-journal "service up" "$step_ms" >/dev/null ||
       ! ctl --wait-journal "mbn advise DeviceServicesEvents" "$step_ms" >/dev/null; then
      echo "  (the program did not subscribe again within $step_ms ms)"
    fi
    expect_icon shown || true

    eject_and_back " after the service restart"
  fi

  if ! kill -0 "$app_pid" 2>/dev/null; then
    echo "FAILED: cycle $cycle: the program ended"
    exit 1
  fi
  now=$(census)
  [ -n "$baseline" ] || baseline=$now
  if [ "$cycle" -eq 1 ] || [ $((cycle % 50)) -eq 0 ] || [ "$cycle" -eq "$cycles" ]; then
    echo "cycle $cycle: $(( $(date +%s) - started )) s, misses $misses, handles threads private KiB: $now ($(growth))"
  fi
done

echo "soak: $cycles cycles in $(( $(date +%s) - started )) s, $misses missed icon changes"
echo "$(growth) since cycle 1"
check "Exit ends the program with code 0" exit_app
[ "$misses" -eq 0 ] && [ "$failures" -eq 0 ]
