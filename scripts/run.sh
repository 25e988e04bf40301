#!/usr/bin/env bash
# Sets up, builds and runs QuarnVelmora.exe under Wine on a virtual X display against the
# modem emulator (default: a 4G modem with its SIM ready in slot 1). The icon shows while
# the SIM is in use; the script opens the tray menu, takes a screenshot, chooses
# "&Eject SIM card", shows the icon going away, prints the emulator's journal, then
# chooses Exit.
#   scripts/run.sh [SCENARIO_FILE] [--stay] [--dpi N]
# --dpi N runs it at N dots per inch (96 is 100 % scaling, 192 is 200 %), in a prefix of its
# own, and names the screenshots after it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scenario=emulator/scenarios/default.scn
stay=0
dpi=
while [ $# -gt 0 ]; do
  case "$1" in
    --stay) stay=1 ;;
    --dpi) dpi=$2; shift ;;
    *) scenario=$1 ;;
  esac
  shift
done
suffix=
if [ -n "$dpi" ]; then
  export QUARN_WINEPREFIX=$top/build/wineprefix-dpi$dpi
  suffix=-dpi$dpi
fi

scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target QuarnVelmora tray_probe modem_emu_server modem_emu_ctl quarn_emu_winrt quarn_emu_mbn quarn_emu_cfgmgr quarn_emu_powrprof netsh_standin

# shellcheck source=scripts/wine-env.sh
source scripts/wine-env.sh
emu=build/windows/emulator
probe=build/windows/tray_probe.exe
cleanup() {
  wine "$emu/modem_emu_ctl.exe" shutdown >/dev/null 2>&1 || true
  [ -z "${QUARN_XVFB_PID:-}" ] || kill "$QUARN_XVFB_PID" 2>/dev/null || true
}
trap cleanup EXIT
[ -z "$dpi" ] || wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
scripts/emu-prefix.sh "$emu/quarn_emu_winrt.dll" "$emu/netsh.exe" "$emu/quarn_emu_mbn.dll"

wine "$emu/modem_emu_ctl.exe" shutdown >/dev/null 2>&1 || true  # one left over from an interrupted run
echo "run: starting the modem emulator with $scenario"
wine "$emu/modem_emu_server.exe" "$(winepath -w "$scenario")" &
wine "$emu/modem_emu_ctl.exe" --wait-ready 20000 >/dev/null
wine "$emu/modem_emu_ctl.exe" state

demo=build/windows/demo
mkdir -p "$demo" build/windows/screenshots
# The emulator's Configuration Manager and power notifications go beside the program,
# chosen over the system's by the override below.
cp build/windows/QuarnVelmora.exe "$emu/cfgmgr32.dll" "$emu/powrprof.dll" "$demo/"
cp app/demo/QuarnVelmora.exe.config "$demo/"

echo "run: starting QuarnVelmora.exe under Wine (display $DISPLAY)"
WINEDLLOVERRIDES="mscoree,mshtml=;cfgmgr32,powrprof=n,b" wine "$demo/QuarnVelmora.exe" & app=$!
wine "$probe" wait-window 30000 && echo "run: the hidden window is up"
if wine "$probe" wait-icon shown 15000; then echo "run: the tray icon is shown: an ejectable SIM is in use"; else echo "run: no tray icon"; fi
xdotool mousemove 30 190
wine "$probe" post 1025 0 0x205 && sleep 2
shot=build/windows/screenshots/run-tray-menu$suffix.png
import -window root -crop 360x220+0+0 +repage "$shot"
echo "run: screenshot of the icon and its open menu: $shot"
xdotool mousemove 700 700 click 1
sleep 1

echo "run: choosing \"&Eject SIM card\""
wine "$probe" post 0x111 40001 0
if wine "$probe" wait-icon hidden 15000; then echo "run: the tray icon is gone: the SIM is powered off"; else echo "run: the icon is still there"; fi
shot=build/windows/screenshots/run-after-eject$suffix.png
import -window root "$shot"
echo "run: screenshot after the eject: $shot"
echo "run: what the program did to the modem (the emulator's journal):"
wine "$emu/modem_emu_ctl.exe" journal | sed 's/^/    /'
wine "$emu/modem_emu_ctl.exe" state

if [ "$stay" = 1 ]; then
  echo "run: leaving it running; Ctrl-C ends it"
  wait "$app"
else
  # A failure box, if one is open, is closed first, as the user would.
  xdotool key --clearmodifiers Return 2>/dev/null || true
  wine "$probe" post 0x111 40002 0
  code=0; wait "$app" || code=$?
  echo "run: Exit chosen; QuarnVelmora.exe ended with exit code $code"
fi
