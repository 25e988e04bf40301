#!/usr/bin/env bash
# Registers the modem emulator in the test Wine prefix: its Windows Runtime classes (by
# DllPath, as the system registers in-process classes), and its netsh stand-in in place of
# the system's.
#   emu-prefix.sh quarn_emu_winrt.dll netsh.exe
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/wine-env.sh
source "$here/wine-env.sh"
dll=$(realpath "$1")
netsh=$(realpath "$2")

dll_windows=$(winepath -w "$dll" | sed 's/\\/\\\\/g')
reg=$(mktemp --suffix=.reg)
trap 'rm -f "$reg"' EXIT
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
  echo
  echo '[HKEY_CURRENT_USER\Software\Wine\DllOverrides]'
  echo '"netsh.exe"="native"'
} > "$reg"
wine regedit /S "$(winepath -w "$reg")"
cp "$netsh" "$WINEPREFIX/drive_c/windows/system32/netsh.exe"
echo "emu-prefix: registered $(basename "$dll") and netsh in $WINEPREFIX"
