#!/usr/bin/env bash
# End to end: the release QuarnVelmora.exe under Wine with the emulator's Mobile Broadband
# classes. An arriving interface connects the wrapper and its sink wakes the SIM status
# worker; a ready-state change to "SIM not inserted" hides the icon; and an outside program
# uses the executable's exports to send an AT command and read the answer. The mobile
# broadband service restarts under the program and under an outside program, and both come
# back by themselves.
#   run_mbn_e2e.sh QuarnVelmora.exe tray_probe.exe EMULATOR_DIR mbn_caller.exe
set -euo pipefail
exe=$(realpath "$1")
probe=$(realpath "$2")
emu=$(realpath "$3")
caller=$(realpath "$4")
# shellcheck source=tests/e2e/e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"

scenario() { ctl reset >/dev/null; for request in "$@"; do ctl $request >/dev/null; done; }
icon_shown() { probe wait-icon shown "${1:-15000}"; }
icon_hidden() { probe wait-icon hidden "${1:-15000}"; }
icon_stays_hidden() { ! probe wait-icon shown "$1"; }
journal_has() { ctl journal | grep -q -F -- "$1"; }
# A journal that could not be read is no proof that nothing in it was stuck.
journal_lacks() { local journal; journal=$(ctl journal) && ! grep -q -F -- "$1" <<<"$journal"; }

echo "== An interface arriving connects the wrapper"
scenario "modem none"
check "the window appears" start_app
ctl modem 4g >/dev/null
check "the wrapper subscribes the sink to the device services" ctl --wait-journal "mbn advise DeviceServicesEvents" 10000
check "the icon shows" icon_shown

check "the decisions that the arrival set off have run" journal_settles 2000

echo "== The sink alone wakes the worker"
# "sim status" changes what the modem reports without any other notification, so only the
# wrapper's sink can lead to a new decision here.
ctl sim status 2 >/dev/null
ctl mbn ready 2 >/dev/null
check "a ready-state change to SIM not inserted hides the icon" icon_hidden
ctl sim status 1 >/dev/null
check "nothing else asks for a decision" icon_stays_hidden 2500
ctl journal clear >/dev/null
ctl mbn notify arrival >/dev/null
check "an interface arrival makes the icon follow the SIM" icon_shown
check "... and powers the 4G SIM on" ctl --wait-journal 'AT+XSIMPOWER=1,1\r\n' 5000
check "exit ends the process with code 0" exit_app
check "shut-down ends the sink's subscriptions" journal_has "mbn unadvise InterfaceManagerEvents"

# As the API may also behave: Unadvise waits for the notifications in progress, and calls
# deliver a notification on another thread before they return.
for mode in "" "mbn fault unadvise wait" "mbn fault nested on"; do
  echo "== An outside program uses the exports${mode:+ ($mode)}"
  scenario "modem 4g" "sim ready" "slot 1" ${mode:+"$mode"}
  start=$(date +%s)
  out=$(wine "$caller" "$(winepath -w "$work/app/QuarnVelmora.exe")" 2>/dev/null | tr -d '\r') && code=0 || code=$?
  echo "$out" | sed 's/^/  | /'
  check "every export answers S_OK" test "$code" = 0
  check "it finds the 4G interface" grep -q -F "interfaces 1 {5A3E0AC9-0000-4000-8000-00000000004A}" <<<"$out"
  check "SetCommand writes the command bytes in hex" grep -q -F "61 74 2B 63 73 75 73 3F 0D 0A " <<<"$out"
  check "the modem's answer comes back" grep -q -F 'answer \r\n+CSUS: 0\r\n' <<<"$out"
  check "the command reached the modem" journal_has 'at+csus?\r\n'
  check "no call waited on the program's own notifications" journal_lacks stuck
  # Each step waits 3 s at most for its completion; a stuck one takes 10 s.
  check "within its time-outs ($(( $(date +%s) - start )) s)" test $(( $(date +%s) - start )) -lt 20
done
# True once FILE holds TEXT (MS milliseconds at most).
file_has() {
  local deadline=$(( $(date +%s%3N) + $3 ))
  until grep -q -F -- "$2" "$1" 2>/dev/null; do
    [ "$(date +%s%3N)" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

# The service restarts (a driver update, a failure): the account watcher aborts, the
# wrapper's objects answer RPC errors and their sinks fall silent, for the down time every
# call fails; then the interfaces arrive again. Once with one restart (6 s down, during
# which a decision fails), once with a second one during the first one's back-off (the
# program's first new watcher comes after 1 s).
for second in "" 1.5; do
  echo "== the mobile broadband service restarts${second:+, and again $second s later}"
  scenario "modem 4g" "sim ready" "slot 1"
  app_trace=$work/trace.txt
  : >"$app_trace"
  check "the window appears" start_app
  check "the icon shows" icon_shown
  # An outside program stays connected through the exports across the restart: its first
  # set after it may fail, and then a connection and a set must succeed in the same process.
  rm -f "$work/go" "$work/caller.out"
  wine "$caller" "$(winepath -w "$work/app/QuarnVelmora.exe")" "$(winepath -w "$work/go")" \
    >"$work/caller.out" 2>/dev/null & caller_pid=$!
  check "an outside program's first round is done" file_has "$work/caller.out" "waiting for the go" 30000
  journal_settles 1500
  ctl journal clear >/dev/null
  if [ -n "$second" ]; then
    ctl service restart 3000 >/dev/null
    sleep "$second"
    ctl service restart 3000 >/dev/null
  else
    # A decision while the service is down fails (every attempt meets its RPC error) and
    # hides the icon; it must be made again once the service is back.
    ctl service restart 6000 >/dev/null
    ctl power suspend >/dev/null
    ctl power resume-automatic >/dev/null
    check "a decision while the service is down hides the icon" icon_hidden
  fi
  check "the service comes back" ctl --wait-journal "service up" 15000
  check "the program starts a new account watcher" ctl --wait-journal "watcher start" 30000
  check "the wrapper subscribes its sink again" ctl --wait-journal "mbn advise DeviceServicesEvents" 30000
  check "each restart is logged" file_has "$app_trace" "RecoverOnce: restart" 10000
  check "the icon shows (again)" icon_shown
  journal_settles 1500
  probe post 0x111 40001 0
  check "an eject from the menu powers the SIM off" ctl --wait-journal 'AT+XSIMPOWER=0,1\r\n' 5000
  check "... and hides the icon" icon_hidden
  ctl sim ready >/dev/null
  ctl event updated account-4g device >/dev/null
  check "an account event with the SIM back shows it" icon_shown
  touch "$work/go"
  caller_code=0
  wait "$caller_pid" || caller_code=$?
  tr -d '\r' <"$work/caller.out" | sed 's/^/  | /'
  check "the outside program's exports all answer S_OK again" test "$caller_code" = 0
  check "... and its AT command after the restart is answered" \
    test "$(tr -d '\r' <"$work/caller.out" | grep -c -F 'answer \r\n+CSUS: 0\r\n')" = 2
  check "Exit ends the program with code 0" exit_app
  app_trace=""
done
finish "mbn e2e"
