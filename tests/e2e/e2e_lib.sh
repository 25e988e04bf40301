# Sourced by the end-to-end scripts: the Wine environment, the emulator, and the release
# executable installed with the emulator's Configuration Manager and power notifications
# beside it.  Needs: exe, probe, emu (paths) set by the caller.
here_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
e2e_started=$(date +%s%3N)
# Under set -e a step that fails would end the run without a word: say which, how and when.
e2e_step_failed() {
  echo "FAILED: the step '$2' (line $3) ended with exit code $1, $(( $(date +%s%3N) - e2e_started )) ms into the run"
}
# Inherited by functions too: a command that fails inside one (ctl, probe) would otherwise
# end the run from there, before the trap of the caller could speak. Silent in a subshell:
# a command substitution's failure is its caller's to judge ("$(reg query ...)" of a value
# that is rightly gone), and its output is what the caller reads.
set -o errtrace
trap 'e2e_rc=$?; [ "$BASH_SUBSHELL" -ne 0 ] || e2e_step_failed $e2e_rc "$BASH_COMMAND" $LINENO' ERR
xvfb_before=${QUARN_XVFB_PID:-}
# shellcheck source=scripts/wine-env.sh
source "$here_lib/../../scripts/wine-env.sh"
# An X server started by the line above is ended with the run; one the caller started is not.
own_xvfb=""
if [ "${QUARN_XVFB_PID:-}" != "$xvfb_before" ]; then own_xvfb=$QUARN_XVFB_PID; fi
"$here_lib/../../scripts/emu-prefix.sh" "$emu/quarn_emu_winrt.dll" "$emu/netsh.exe" "$emu/quarn_emu_mbn.dll" >/dev/null

work=$(mktemp -d "$(dirname "$exe")/e2e.XXXXXX")
# The run's own emulator channel, which every program of the run inherits: the server, the
# control tool, the probe, the program with the facades it loads and the netsh stand-in it
# starts. No other test, and no server of an earlier run still going away, can meet it.
export QUARN_EMU_CHANNEL="QuarnModemEmu-e2e-${work##*/e2e.}"
app_pid=""
emu_pid=""
passes=0
failures=0

# The run's tools say why whenever they fail, and one that Wine could not start is started
# again (wine_tool, scripts/wine-env.sh).
ctl() { wine_tool "${ctl_tool:-$emu/modem_emu_ctl.exe}" "$@"; }
probe() { wine_tool "$probe" "$@"; }
# True when the command fails: a check that something did not happen, through the same tools
# (a tool that Wine could not start must not pass for one that found nothing).
fails() { ! "$@"; }
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
  # Any copy of the program that this run started and lost track of: one left running would
  # hold the test's output open, and its ctest would wait for the time-out.
  pkill -KILL -f -- "$work/app/" 2>/dev/null || true
  if [ -n "$emu_pid" ]; then
    ctl shutdown >/dev/null 2>&1 || true
    kill "$emu_pid" 2>/dev/null || true
    if [ -s "$work/emu-server.log" ]; then sed 's/^/emulator: /' "$work/emu-server.log"; fi
  fi
  rm -rf "$work"
  [ -z "$own_xvfb" ] || kill "$own_xvfb" 2>/dev/null || true
}
trap cleanup EXIT

# A file's lines as one line, for a one-line report.
one_line() { local text; text=$(tr -s '\r\n' '  ' <"$1" | sed 's/ *$//'); echo "${text:-no output}"; }
# Starts the run's emulator and waits, 20 s at most, until it serves. A server that ends
# first, or does not answer in time, ends the run with one line that says how.
start_emulator() {
  local started waited code=0
  started=$(date +%s%3N)
  wine "$emu/modem_emu_server.exe" >"$work/emu-server.log" 2>&1 & emu_pid=$!
  until ctl --wait-ready 500 >/dev/null 2>"$work/emu-wait.err"; do
    waited=$(( $(date +%s%3N) - started ))
    if ! kill -0 "$emu_pid" 2>/dev/null; then
      wait "$emu_pid" || code=$?
      emu_pid=""
      echo "FAILED: the emulator did not come up: modem_emu_server ended with exit code $code after $waited ms" \
           "($(one_line "$work/emu-server.log"))"
      exit 1
    fi
    if [ "$waited" -ge 20000 ]; then
      echo "FAILED: the emulator did not come up: modem_emu_server still runs but did not serve within $waited ms" \
           "($(one_line "$work/emu-wait.err"))"
      exit 1
    fi
  done
}
start_emulator

mkdir -p "$work/app"
cp "$exe" "$emu/cfgmgr32.dll" "$emu/powrprof.dll" "$work/app/"

# Starts the program (the installed copy, or the one named) with the emulator's
# Configuration Manager and power notifications beside it; true once its window is there.
# With app_trace set to a file, the program's trace lines go there (the soak reads them).
start_app() {
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    echo "the program of an earlier step still ran: ended"
    stop_app
  fi
  if [ -n "${app_trace:-}" ]; then
    # The program's trace lines, copied to the debug output, appended to that file.
    QUARN_TRACE_DEBUG_OUTPUT=1 WINEDEBUG=-all,+timestamp,warn+debugstr WINEDLLOVERRIDES="mscoree,mshtml=;cfgmgr32,powrprof=n,b" \
      wine "${1:-$work/app/QuarnVelmora.exe}" 2>>"$app_trace" & app_pid=$!
  else
    WINEDLLOVERRIDES="mscoree,mshtml=;cfgmgr32,powrprof=n,b" wine "${1:-$work/app/QuarnVelmora.exe}" & app_pid=$!
  fi
  probe wait-window 30000 && return 0
  if ! kill -0 "$app_pid" 2>/dev/null; then
    local code=0
    wait "$app_pid" || code=$?
    echo "the program ended with exit code $code before its window came"
    app_pid=""
  fi
  return 1
}
# Ends the running instance without asking it.
stop_app() {
  [ -n "$app_pid" ] || return 0
  kill -KILL "$app_pid" 2>/dev/null || true
  wait "$app_pid" 2>/dev/null || true
  app_pid=""
}
# Waits (SECONDS, 30 by default, at most) for the running instance, our child, to end; true
# when it did, with exit code 0. One that does not end is killed and reported, not waited
# for without end.
app_exited_with_zero() {
  local code=0 waited=0 limit=${1:-30}
  while kill -0 "$app_pid" 2>/dev/null && [ "$waited" -lt $((limit * 10)) ]; do sleep 0.1; waited=$((waited + 1)); done
  if kill -0 "$app_pid" 2>/dev/null; then
    echo "the program did not end within $limit s"
    stop_app
    return 1
  fi
  wait "$app_pid" || code=$?
  app_pid=""
  [ "$code" = 0 ] || echo "exit code $code"
  [ "$code" = 0 ]
}
# Chooses Exit; true once the program ended with code 0. One that cannot be told (it has no
# window) is ended, so that no later step meets it.
exit_app() {
  local code=0
  probe post 0x111 40002 0 || code=$?
  if [ "$code" = 0 ]; then
    app_exited_with_zero
  else
    # Said apart from the program's own exit code: the probe found no window to post to.
    echo "the Exit command could not be posted (tray_probe exit code $code)"
    stop_app
    return 1
  fi
}
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
  echo "the emulator's journal was still growing after 20000 ms ($last entries)"
  return 1
}
finish() {
  trap - ERR  # the count below says it all
  echo "$1: $passes passed, $failures failed"
  [ "$failures" -eq 0 ]
}
