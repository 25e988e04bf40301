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
