#!/usr/bin/env bash
# End to end: the release QuarnVelmora.exe under Wine and Xvfb, watched and driven from
# outside by tray_probe.exe as the shell and the user would.
#   run_e2e.sh QuarnVelmora.exe tray_probe.exe
set -euo pipefail
exe=$(realpath "$1")
probe=$(realpath "$2")
build_dir=$(dirname "$exe")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/wine-env.sh
source "$here/../../scripts/wine-env.sh"

work=$(mktemp -d "$build_dir/e2e.XXXXXX")
shots="$build_dir/screenshots"
mkdir -p "$shots"
app_pid=""
failures=0
passes=0

cleanup() {
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    wine "$probe" post 0x111 40002 0 >/dev/null 2>&1 || true
    sleep 3
    kill "$app_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

probe() { wine "$probe" "$@"; }
check() {  # check NAME COMMAND...
  local name=$1; shift
  if "$@"; then echo "ok: $name"; passes=$((passes + 1)); else echo "FAILED: $name"; failures=$((failures + 1)); fi
}

settings_icon_on='<config><applySetting>1</applySetting><presets><preset Number="1"><Menu Name="TrayIcon" Display="Show"/></preset></presets></config>'

install_app() {  # install_app DIR [SETTINGS] -> prints the installed exe path
  mkdir -p "$1"
  cp "$exe" "$1/QuarnVelmora.exe"
  if [ -n "${2:-}" ]; then printf '%s\n' "$2" > "$1/QuarnVelmora.exe.config"; fi
  echo "$1/QuarnVelmora.exe"
}

start_app() {
  wine "$1" & app_pid=$!
  probe wait-window 30000
}

# Waits for the running instance to end (in this shell: it is our child); 0 when its
# exit code was 0.
app_exited_with_zero() {
  local code=0
  wait "$app_pid" || code=$?
  app_pid=""
  [ "$code" = 0 ] || echo "exit code $code"
  [ "$code" = 0 ]
}

exit_app() {
  probe post 0x111 40002 0 && app_exited_with_zero
}

echo "== persistent icon, second instance, menu, Exit"
app=$(install_app "$work/app" "$settings_icon_on")
check "the window appears" start_app "$app"
check "the persistent icon appears" probe wait-icon shown 10000

second_code=0
timeout 60 wine "$app" || second_code=$?
check "a second instance exits with code 0" test "$second_code" = 0
check "the first instance keeps its window and icon" probe wait-icon shown 1000

# Open the menu just below the icon (Wine shows its tray at the top left), so both show.
xdotool mousemove 30 190
check "a right click opens the menu" probe post 1025 0 0x205
sleep 2
import -window root "$shots/tray-menu-en-full.png"
convert "$shots/tray-menu-en-full.png" -crop 360x220+0+0 +repage -scale 200% "$shots/tray-menu-en.png"
echo "screenshot: $shots/tray-menu-en.png"
# A click elsewhere closes the menu, as it would for the user.
xdotool mousemove 700 700 click 1
sleep 1
check "Exit ends the program with code 0" exit_app
check "the icon is gone with the window" probe wait-gone 5000

echo "== no settings file: the icon follows the SIM (none here)"
app=$(install_app "$work/plain")
check "the window appears" start_app "$app"
sleep 1
check "no icon without a SIM" probe wait-icon hidden 1000
check "the exit message is taken" probe post 1028 0 1029
check "the exit message ends it with code 0" app_exited_with_zero

echo "== settings under a Japanese/Chinese install directory"
app=$(install_app "$work/クアン设置" "$settings_icon_on")
check "the window appears" start_app "$app"
check "the settings apply: the persistent icon appears" probe wait-icon shown 10000
check "Exit ends the program with code 0" exit_app

echo "e2e: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
