#!/usr/bin/env bash
# End to end: the release QuarnVelmora.exe under Wine and Xvfb, watched and driven from
# outside by tray_probe.exe as the shell and the user would, with the emulator presenting a
# machine without a modem.
#   run_e2e.sh QuarnVelmora.exe tray_probe.exe EMULATOR_DIR
set -euo pipefail
exe=$(realpath "$1")
probe=$(realpath "$2")
emu=$(realpath "$3")
# shellcheck source=tests/e2e/e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"
shots="$(dirname "$exe")/screenshots"
mkdir -p "$shots"

settings_icon_on='<config><applySetting>1</applySetting><presets><preset Number="1"><Menu Name="TrayIcon" Display="Show"/></preset></presets></config>'

install_app() {  # install_app DIR [SETTINGS] -> prints the installed exe path
  mkdir -p "$1"
  cp "$exe" "$emu/cfgmgr32.dll" "$emu/powrprof.dll" "$1/"
  if [ -n "${2:-}" ]; then printf '%s\n' "$2" > "$1/QuarnVelmora.exe.config"; fi
  echo "$1/QuarnVelmora.exe"
}

echo "== persistent icon, second instance, menu, Exit"
app=$(install_app "$work/app" "$settings_icon_on")
check "the window appears" start_app "$app"
check "the persistent icon appears" probe wait-icon shown 10000

second_code=0
WINEDLLOVERRIDES="mscoree,mshtml=;cfgmgr32,powrprof=n,b" timeout 60 wine "$app" || second_code=$?
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

echo "== closed the ways Windows closes programs"
check "the window appears" start_app "$app"
check "WM_CLOSE is taken" probe post 0x10 0 0
check "... and ends the program with code 0" app_exited_with_zero
# The Restart Manager asks with ENDSESSION_CLOSEAPP (1) in lParam, then ends the session.
check "a new instance starts" start_app "$app"
check "WM_QUERYENDSESSION is answered TRUE" test "$(probe send 0x11 0 1 | tr -d '\r')" = 1
check "WM_ENDSESSION is taken" probe post 0x16 1 1
check "... and ends the program with code 0" app_exited_with_zero
check "no window is left" probe wait-gone 5000

finish e2e
