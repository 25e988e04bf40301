#!/usr/bin/env bash
# End to end: the release QuarnVelmora.exe under Wine against the modem emulator ejects the
# SIM on both platforms, and tells the user when the modem refuses.
#   run_eject_e2e.sh QuarnVelmora.exe tray_probe.exe EMULATOR_DIR
set -euo pipefail
exe=$(realpath "$1")
probe=$(realpath "$2")
emu=$(realpath "$3")
# shellcheck source=tests/e2e/e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"

# Milliseconds from the note to the first AT entry with PAYLOAD after it, from the journal.
latency_ms() {
  # Through the environment: awk -v would turn the payload's \r\n into line ends.
  ctl journal | NOTE="note $1" PAYLOAD="$2" awk '
    index($0, ENVIRON["NOTE"]) { t0 = substr($1, 2) + 0; seen = 1; next }
    seen && index($0, ENVIRON["PAYLOAD"]) { print substr($1, 2) - t0; exit }'
}
# Waits up to 5 s for the AT entry that follows the note; prints the latency.
wait_latency_ms() {
  local latency="" tries=0
  while [ -z "$latency" ] && [ $tries -lt 50 ]; do
    latency=$(latency_ms "$1" "$2")
    [ -n "$latency" ] || sleep 0.1
    tries=$((tries + 1))
  done
  echo "$latency"
}
sim_state_is() { ctl state | grep -q "sim=$1"; }
no_failure_box() { ! probe message-box "Problem Ejecting SIM card" 1500 >/dev/null; }
failure_box_says() {
  local text
  text=$(probe message-box "Problem Ejecting SIM card" 5000) || return 1
  [ "$(printf '%s' "$text" | tr -d '\r')" = "There is a problem with the removal process, please try again." ]
}

# The program's trace lines (start_app copies them here), to see each eject logged as a click.
app_trace=$work/trace.txt
clicks_logged() {
  [ "$(grep -cF 'OutputDebugStringA "[INFO] HiddenWndProc : User click the Eject SIM button\n"' "$app_trace")" = "$1" ]
}

latencies=()
for platform in 4g 5g; do
  : >"$app_trace"
  if [ $platform = 4g ]; then command='AT+XSIMPOWER=0,1\r\n'; else command='AT+ESIMPOWER=0,1\r\n'; fi
  echo "== $platform modem, SIM ready in slot 1"
  ctl reset >/dev/null; ctl modem $platform >/dev/null; ctl sim ready >/dev/null
  check "the window appears" start_app
  if [ $platform = 4g ]; then
    check "the SIM is powered on at start" ctl --wait-journal 'AT+XSIMPOWER=1,1\r\n' 10000
  fi
  # Each eject comes from a shown icon, as the user's does: an eject posted while the
  # program still removes its icon after the last one waits for the shell, which under Wine
  # without a window manager takes 2 s to remove the last icon of the notification area.
  for round in 1 2 3; do
    ctl sim ready >/dev/null
    check "the icon shows with the SIM in (round $round)" probe wait-icon shown 10000
    probe post-noted "eject-$platform-$round" 0x111 40001 0
    latencies+=("$platform:$(wait_latency_ms "eject-$platform-$round" "$command")")
    check "the icon goes with the SIM (round $round)" probe wait-icon hidden 10000
  done
  check "each Eject is logged as the user's click" clicks_logged 3
  check "Eject sends exactly $command" ctl --wait-journal "len=18 \"$command\"" 1000
  check "the SIM is off in the modem" sim_state_is off
  check "no failure box after a confirmed eject" no_failure_box

  ctl fault answer error >/dev/null
  probe post 0x111 40001 0
  check "a refused eject shows the failure box with its text" failure_box_says
  ctl fault none >/dev/null
  check "Exit ends the program with code 0" exit_app
done

# A second launch (a double click, the Run value and an installer's restart at once) must
# leave the modem alone: above all after an eject, while the user takes the SIM out.
echo "== two launches 100 ms apart, then a launch after an eject"
ctl reset >/dev/null; ctl modem 4g >/dev/null; ctl sim ready >/dev/null
launch() { WINEDLLOVERRIDES="mscoree,mshtml=;cfgmgr32,powrprof=n,b" wine "$work/app/QuarnVelmora.exe"; }
launch & first_pid=$!
sleep 0.1
launch & second_pid=$!
# True when one of the two ends, with code 0, within 30 s; the other is the running instance.
one_launch_ends() {
  local waited=0 code=0 ended
  while kill -0 "$first_pid" 2>/dev/null && kill -0 "$second_pid" 2>/dev/null && [ "$waited" -lt 300 ]; do
    sleep 0.1; waited=$((waited + 1))
  done
  if ! kill -0 "$second_pid" 2>/dev/null; then ended=$second_pid; app_pid=$first_pid
  elif ! kill -0 "$first_pid" 2>/dev/null; then ended=$first_pid; app_pid=$second_pid
  else echo "both still run after 30 s"; app_pid=$first_pid; return 1; fi
  wait "$ended" || code=$?
  [ "$code" = 0 ] || echo "exit code $code"
  [ "$code" = 0 ]
}
check "one of the two ends with code 0" one_launch_ends
check "the icon shows" probe wait-icon shown 10000
journal_settles 2000
# True when the count is as wanted; says what it was otherwise.
count_is() { [ "$2" = "$3" ] || { echo "$1: $2, not $3"; return 1; }; }
check "one icon in the tray" count_is icons "$(probe icon-count | tr -d '\r')" 1
check "the SIM was powered on once" count_is "power-on commands" "$(journal_count 'AT+XSIMPOWER=1,1')" 1
probe post 0x111 40001 0
check "an eject powers the SIM off" ctl --wait-journal 'AT+XSIMPOWER=0,1\r\n' 5000
check "... and hides the icon" probe wait-icon hidden 10000
journal_settles 2000
entries=$(ctl journal | wc -l)
late_code=0
QUARN_TRACE_DEBUG_OUTPUT=1 WINEDEBUG=-all,warn+debugstr WINEDLLOVERRIDES="mscoree,mshtml=;cfgmgr32,powrprof=n,b" \
  timeout 60 wine "$work/app/QuarnVelmora.exe" 2>"$work/late-launch.txt" || late_code=$?
check "a launch after the eject ends with code 0" test "$late_code" = 0
check "... saying that the program already runs" \
  grep -qF 'OutputDebugStringA "[ERROR] wWinMain : The Window is already exist\n"' "$work/late-launch.txt"
check "... having done nothing to the modem" count_is "journal entries" "$(ctl journal | wc -l)" "$entries"
check "the SIM stays off" sim_state_is off
check "Exit ends the program with code 0" exit_app

# A process the modem's service will not serve gets E_ACCESSDENIED from the Windows Runtime:
# from GetDefault, OpenCommandSession or SendSetCommandAsync. The eject then fails as any
# other, with the failure box, and the program carries on.
for denied in "default:default modem denied" "session:session denied" "set:set denied"; do
  echo "== 4G modem whose service refuses the program (${denied%%:*})"
  ctl reset >/dev/null; ctl modem 4g >/dev/null; ctl sim ready >/dev/null; ctl fault denied "${denied%%:*}" >/dev/null
  check "the window appears" start_app
  check "the refusal was met" ctl --wait-journal "${denied#*:}" 10000
  if [ "${denied%%:*}" = default ]; then
    check "no icon without the modem's status" fails probe wait-icon shown 5000
  fi
  probe post 0x111 40001 0
  check "the refused eject shows the failure box with its text" failure_box_says
  check "the SIM stays in" sim_state_is ready
  check "Exit ends the program with code 0" exit_app
done

echo "eject latency, menu command to AT payload at the modem (ms; scripts/bench.sh compares it with a floor): ${latencies[*]}"
finish e2e-eject
