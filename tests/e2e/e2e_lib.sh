# Sourced by the end-to-end scripts: the Wine environment, the emulator, and the release
# executable installed with the emulator's Configuration Manager and power notifications
# beside it.  Needs: exe, probe, emu (paths) set by the caller.
here_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
xvfb_before=${QUARN_XVFB_PID:-}
# shellcheck source=scripts/wine-env.sh
source "$here_lib/../../scripts/wine-env.sh"
# An X server started by the line above is ended with the run; one the caller started is not.
own_xvfb=""
if [ "${QUARN_XVFB_PID:-}" != "$xvfb_before" ]; then own_xvfb=$QUARN_XVFB_PID; fi
"$here_lib/../../scripts/emu-prefix.sh" "$emu/quarn_emu_winrt.dll" "$emu/netsh.exe" "$emu/quarn_emu_mbn.dll" >/dev/null

work=$(mktemp -d "$(dirname "$exe")/e2e.XXXXXX")
app_pid=""
passes=0
failures=0

ctl() { wine "$emu/modem_emu_ctl.exe" "$@"; }
probe() { wine "$probe" "$@"; }
# A failure says how the check ended and after how long, which tells a step that timed out
# from one that could not run at all.
check() {
  local name=$1 code=0 started; shift
  started=$(date +%s%3N)
  "$@" || code=$?
  if [ "$code" -eq 0 ]; then
    echo "ok: $name"; passes=$((passes + 1))
  else
    echo "FAILED: $name (exit code $code after $(( $(date +%s%3N) - started )) ms)"; failures=$((failures + 1))
  fi
}
cleanup() {
  if [ -n "$app_pid" ]; then probe post 0x111 40002 0 >/dev/null 2>&1 || true; sleep 3; kill "$app_pid" 2>/dev/null || true; fi
  ctl shutdown >/dev/null 2>&1 || true
  rm -rf "$work"
  [ -z "$own_xvfb" ] || kill "$own_xvfb" 2>/dev/null || true
}
trap cleanup EXIT

ctl shutdown >/dev/null 2>&1 || true  # one left over from an interrupted run
wine "$emu/modem_emu_server.exe" >/dev/null &
ctl --wait-ready 20000 >/dev/null

mkdir -p "$work/app"
cp "$exe" "$emu/cfgmgr32.dll" "$emu/powrprof.dll" "$work/app/"

# Starts the program (the installed copy, or the one named) with the emulator's
# Configuration Manager and power notifications beside it; true once its window is there.
start_app() {
  WINEDLLOVERRIDES="mscoree,mshtml=;cfgmgr32,powrprof=n,b" wine "${1:-$work/app/QuarnVelmora.exe}" & app_pid=$!
  probe wait-window 30000
}
# Waits (30 s at most) for the running instance, our child, to end; true when it did, with
# exit code 0. One that does not end is killed and reported, not waited for without end.
app_exited_with_zero() {
  local code=0 waited=0
  while kill -0 "$app_pid" 2>/dev/null && [ "$waited" -lt 300 ]; do sleep 0.1; waited=$((waited + 1)); done
  if kill -0 "$app_pid" 2>/dev/null; then
    echo "the program did not end within 30 s"
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=""
    return 1
  fi
  wait "$app_pid" || code=$?
  app_pid=""
  [ "$code" = 0 ] || echo "exit code $code"
  [ "$code" = 0 ]
}
exit_app() { probe post 0x111 40002 0 && app_exited_with_zero; }
journal_count() { ctl journal | grep -c -F -- "$1" || true; }
# Waits (20 s at most) until the emulator's journal has had no new entry for MS ms: the
# decisions and commands that earlier steps set off have run, on a loaded machine too.
journal_settles() {
  local quiet_ms=$1 last="" now stable_since deadline
  deadline=$(( $(date +%s%3N) + 20000 ))
  stable_since=$(date +%s%3N)
  while [ "$(date +%s%3N)" -lt "$deadline" ]; do
    now=$(ctl journal | wc -l)
    if [ "$now" != "$last" ]; then last=$now; stable_since=$(date +%s%3N); fi
    [ $(( $(date +%s%3N) - stable_since )) -ge "$quiet_ms" ] && return 0
    sleep 0.2
  done
  return 1
}
finish() {
  echo "$1: $passes passed, $failures failed"
  [ "$failures" -eq 0 ]
}
