#!/usr/bin/env bash
# Sets up, builds and runs QuarnVelmora.exe under Wine on a virtual X display, with the
# settings file that keeps the tray icon shown; opens its tray menu, takes a screenshot,
# then chooses Exit. Pass --stay to leave it running (end it with Ctrl-C).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target QuarnVelmora tray_probe

# shellcheck source=scripts/wine-env.sh
source scripts/wine-env.sh
trap '[ -z "${QUARN_XVFB_PID:-}" ] || kill "$QUARN_XVFB_PID" 2>/dev/null || true' EXIT

demo=build/windows/demo
mkdir -p "$demo" build/windows/screenshots
cp build/windows/QuarnVelmora.exe "$demo/"
cp app/demo/QuarnVelmora.exe.config "$demo/"
probe=build/windows/tray_probe.exe

echo "run: starting QuarnVelmora.exe under Wine (display $DISPLAY)"
wine "$demo/QuarnVelmora.exe" & app=$!
wine "$probe" wait-window 30000 && echo "run: the hidden window is up"
if wine "$probe" wait-icon shown 10000; then echo "run: the tray icon is shown"; else echo "run: no tray icon"; fi
xdotool mousemove 30 190
wine "$probe" post 1025 0 0x205 && sleep 2
shot=build/windows/screenshots/run-tray-menu.png
import -window root -crop 360x220+0+0 +repage "$shot"
echo "run: screenshot of the icon and its open menu: $shot"
xdotool mousemove 700 700 click 1

if [ "${1:-}" = "--stay" ]; then
  echo "run: leaving it running; Ctrl-C ends it"
  wait "$app"
else
  wine "$probe" post 0x111 40002 0
  code=0; wait "$app" || code=$?
  echo "run: Exit chosen; QuarnVelmora.exe ended with exit code $code"
fi
