#!/usr/bin/env bash
# Registers the modem emulator in the test Wine prefix: its Windows Runtime classes (by
# DllPath, as the system registers in-process classes), its Mobile Broadband COM classes (by
# CLSID, InProcServer32), and its netsh stand-in in place of the system's.
#   emu-prefix.sh quarn_emu_winrt.dll netsh.exe quarn_emu_mbn.dll
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
xvfb_before=${QUARN_XVFB_PID:-}
# shellcheck source=scripts/wine-env.sh
source "$here/wine-env.sh"
# An X server started by the line above is this script's own; one the caller started is not.
own_xvfb=""
if [ "${QUARN_XVFB_PID:-}" != "$xvfb_before" ]; then own_xvfb=$QUARN_XVFB_PID; fi
if [ $# -ne 3 ]; then
  echo "usage: emu-prefix.sh quarn_emu_winrt.dll netsh.exe quarn_emu_mbn.dll" >&2
  exit 2
fi
dll=$(realpath "$1")
netsh=$(realpath "$2")
mbn=$(realpath "$3")

dll_windows=$(wine_tool winepath.exe -w "$dll" | sed 's/\\/\\\\/g')
mbn_windows=$(wine_tool winepath.exe -w "$mbn" | sed 's/\\/\\\\/g')
reg=$(mktemp --suffix=.reg)
trap 'rm -f "$reg"; [ -z "$own_xvfb" ] || kill "$own_xvfb" 2>/dev/null || true' EXIT
{
  echo 'Windows Registry Editor Version 5.00'
  for class in Windows.Networking.NetworkOperators.MobileBroadbandModem \
               Windows.Networking.NetworkOperators.MobileBroadbandAccountWatcher \
               Windows.Security.Cryptography.CryptographicBuffer; do
    echo
    echo "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\WindowsRuntime\\ActivatableClassId\\$class]"
    echo "\"DllPath\"=\"$dll_windows\""
    echo '"ActivationType"=dword:00000000'
    echo '"Threading"=dword:00000000'
  done
  # MbnInterfaceManager, MbnConnectionManager, MbnConnectionProfileManager,
  # MbnDeviceServicesManager
  for clsid in '{BDFEE05B-4418-11DD-90ED-001C257CCFF1}' '{BDFEE05C-4418-11DD-90ED-001C257CCFF1}' \
               '{BDFEE05A-4418-11DD-90ED-001C257CCFF1}' '{2269DAA3-2A9F-4165-A501-CE00A6F7A75B}'; do
    echo
    echo "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\$clsid\\InProcServer32]"
    echo "@=\"$mbn_windows\""
    echo '"ThreadingModel"="Both"'
  done
  echo
  echo '[HKEY_CURRENT_USER\Software\Wine\DllOverrides]'
  echo '"netsh.exe"="native"'
} > "$reg"
# Through wine_tool: Wine now and then cannot start a process at all (scripts/wine-env.sh),
# and this script starts three on every test run.
reg_windows=$(wine_tool winepath.exe -w "$reg")
[ -n "$dll_windows" ] && [ -n "$mbn_windows" ] && [ -n "$reg_windows" ] || { echo "emu-prefix: winepath gave no path" >&2; exit 1; }
wine_tool regedit /S "$reg_windows"
cp "$netsh" "$WINEPREFIX/drive_c/windows/system32/netsh.exe"
echo "emu-prefix: registered $(basename "$dll"), $(basename "$mbn") and netsh in $WINEPREFIX"
