# Sourced: prepares a private Wine prefix and an X display for the Windows tests.
# QUARN_WINEPREFIX and DISPLAY may be set by the caller; otherwise defaults are made here
# (an Xvfb started here has its pid in QUARN_XVFB_PID, for the caller to end).
top_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${QUARN_WINEPREFIX:-$top_dir/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

if [ -z "${DISPLAY:-}" ]; then
  # A display per prefix, so parallel runs of different prefixes do not meet. A server that
  # did not come up (the number was still held by one going away) is left for the next
  # number: a display that is not there would fail every window of the run.
  for n in $(seq 90 130); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
      xvfb_pid=$!
      for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
      if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$xvfb_pid" 2>/dev/null; then
        export QUARN_XVFB_PID=$xvfb_pid DISPLAY=":$n"
        break
      fi
      kill "$xvfb_pid" 2>/dev/null || true
      wait "$xvfb_pid" 2>/dev/null || true
    fi
  done
  if [ -z "${DISPLAY:-}" ]; then
    echo "wine-env: no X display could be started (Xvfb :90 to :130)" >&2
    return 1
  fi
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w || true
fi

# A crashing program ends at once with its exception code instead of starting winedbg,
# whose crash dialog waits on the X display for a click that never comes.
if ! grep -qs '^"Debugger"="false"' "$WINEPREFIX/system.reg"; then
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d false /f >/dev/null 2>&1 || true
fi

# Wine 8 now and then cannot start a process: something already holds the fixed address of
# the new process's shared user data (0x7ffe0000), and it ends with exit code 1 before its
# program runs, saying "failed to map the shared user data: c0000018" on the err channel
# (seen once in 3168 starts of `wine reg query` on a loaded machine here). Such a start ran
# nothing: this runs a program under Wine and starts it again then (twice at most), and says
# so on standard error. Wine's err channel of that module is let through to tell; the
# program's standard error is passed on once it has ended.
wine_tool() {
  local err rc attempt
  err=$(mktemp)
  for attempt in 1 2 3; do
    rc=0
    WINEDEBUG="${WINEDEBUG:--all},err+virtual" wine "$@" 2>"$err" || rc=$?
    if [ "$rc" -ne 1 ] || ! grep -q "failed to map the shared user data" "$err" || [ "$attempt" -eq 3 ]; then break; fi
    echo "wine: could not start $1 ($(grep -m 1 'failed to map' "$err")): started again" >&2
  done
  cat "$err" >&2
  rm -f "$err"
  return "$rc"
}
