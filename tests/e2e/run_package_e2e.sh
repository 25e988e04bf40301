#!/usr/bin/env bash
# End to end: the Windows Installer package under Wine's msiexec, as an administrator
# deploys it and a user meets it: a silent install, the program started by the Run value
# from Program Files (with the modem emulator), an upgrade to a newer package while the
# program runs that keeps the edited settings, and uninstalls with and without the program
# running. Each check is what a person would see.
#   run_package_e2e.sh QuarnVelmora.exe tray_probe.exe EMULATOR_DIR PACKAGE.msi NEXT.msi
# NEXT.msi is a package of a higher version; each package's files are in PACKAGE.msi.files.
set -euo pipefail
exe=$(realpath "$1")
probe=$(realpath "$2")
emu=$(realpath "$3")
package=$(realpath "$4")
next_package=$(realpath "$5")
shipped_exe="$package.files/QuarnVelmora.exe"
next_exe="$next_package.files/QuarnVelmora.exe"
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/e2e_lib.sh
source "$here/e2e_lib.sh"

version_of() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductVersion" { print $2 }'; }
version=$(version_of "$package")
next_version=$(version_of "$next_package")
config_default="$here/../../app/demo/QuarnVelmora.exe.config"

installed="$WINEPREFIX/drive_c/Program Files/QuarnVelmora"
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

# The text of a REG_SZ value, or nothing when there is none.
reg_text() {
  wine_tool reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_SZ *//p"
}
# The command line the Run value holds.
run_value() { reg_text "$run_key" QuarnVelmora; }
# Programs and Features: "KEY<TAB>VERSION" for each product named QuarnVelmora.
listed_products() {
  local key
  for key in $(wine_tool reg query "$uninstall_key" 2>/dev/null | tr -d '\r' | grep -o '{[0-9A-F-]*}$'); do
    if [ "$(reg_text "$uninstall_key\\$key" DisplayName)" = QuarnVelmora ]; then
      printf '%s\t%s\n' "$key" "$(reg_text "$uninstall_key\\$key" DisplayVersion)"
    fi
  done
}
listed_as() { test "$(listed_products | cut -f2)" = "$1"; }
installed_files() { (cd "$installed" 2>/dev/null && ls -A | sort | tr '\n' ' '); }
package_files="QuarnVelmora.exe QuarnVelmora.exe.config QuarnVelmora.wprp "

# Times msiexec; its exit code is kept in msi_status, its seconds in the named variable.
msi_status=0
msiexec_timed() {
  local into=$1; shift
  local start end
  start=$(date +%s%3N)
  msi_status=0
  wine_tool msiexec "$@" /qn || msi_status=$?
  end=$(date +%s%3N)
  printf -v "$into" '%d.%03d' $(((end - start) / 1000)) $(((end - start) % 1000))
}

# Starts the program as a logon would, from the command in the Run value. The emulator's
# Configuration Manager and power DLLs go beside it, as in the other end-to-end runs.
start_installed() {
  local command path
  command=$(run_value)
  path=${command#\"}; path=${path%\"}
  [ -n "$path" ] || { echo "no Run value"; return 1; }
  cp "$emu/cfgmgr32.dll" "$emu/powrprof.dll" "$installed/"
  WINEDLLOVERRIDES="mscoree,mshtml=;cfgmgr32,powrprof=n,b" wine "$path" & app_pid=$!
  probe wait-window 30000
}
# True once COMMAND succeeds, trying for up to SECONDS.
within() {
  local deadline=$(( $(date +%s) + $1 )); shift
  until "$@"; do
    if [ "$(date +%s)" -ge "$deadline" ]; then return 1; fi
    sleep 0.2
  done
}
# True while the process runs (a zombie has ended: it only waits for its exit code to be read).
running() { [ -e "/proc/$1" ] && ! grep -q '^[0-9]* (.*) Z' "/proc/$1/stat" 2>/dev/null; }
# The running instance (our child) has ended, within 20 s, with exit code 0, and its window
# is gone. msiexec has returned by now, so the stopper has done its own waiting.
instance_ended() {
  if ! within 20 eval '! running "$app_pid"'; then echo "still running"; return 1; fi
  app_exited_with_zero && probe wait-gone 5000
}
emulator_dlls_removed() { rm -f "$installed/cfgmgr32.dll" "$installed/powrprof.dll"; }

# A run interrupted earlier may have left the product installed.
for key in $(listed_products | cut -f1); do wine msiexec /x "$key" /qn || true; done
rm -rf "$installed"

echo "== the stopper, with no instance running"
stopper="$work/StopQuarnVelmora.exe"
msiinfo extract "$package" Binary.StopperBinary > "$stopper"
start=$(date +%s%3N); stop_code=0
wine "$stopper" || stop_code=$?
stop_ms=$(( $(date +%s%3N) - start ))
check "the stopper from the package finds nothing to stop (exit code 0)" test "$stop_code" = 0
check "... and returns at once (${stop_ms} ms; its bound is 30 s)" test "$stop_ms" -lt 8000

echo "== silent install of $version"
msiexec_timed install_s /i "$(winepath -w "$package")"
check "msiexec /i /qn succeeds (${install_s} s)" test "$msi_status" = 0
check "Program Files\\QuarnVelmora holds the program, its settings and the trace profile" \
  test "$(installed_files)" = "$package_files"
check "the installed program is the one in the package" cmp -s "$installed/QuarnVelmora.exe" "$shipped_exe"
check "the settings are the default ones" cmp -s "$installed/QuarnVelmora.exe.config" "$config_default"
check "the Run value starts it at every logon" test "$(run_value)" = '"C:\Program Files\QuarnVelmora\QuarnVelmora.exe"'
check "Programs and Features lists QuarnVelmora $version" listed_as "$version"

echo "== the program starts from Program Files"
ctl reset >/dev/null; ctl modem 5g >/dev/null; ctl sim ready >/dev/null; ctl slot 1 >/dev/null
check "the window appears" start_installed
check "the icon shows (SIM in slot 1)" probe wait-icon shown 15000
close_code=0
wine "$stopper" 'C:\Users\Public\QuarnVelmora.exe' || close_code=$?
check "a stopper told of another QuarnVelmora.exe closes nothing (exit code 3: not its pipe)" test "$close_code" = 3
check "... the installed one still runs with its icon" probe wait-icon shown 1000

echo "== the administrator edits the settings: the icon always shows"
sed -i 's|<applySetting>1</applySetting>|<applySetting>2</applySetting>|' "$installed/QuarnVelmora.exe.config"
edited=$(cat "$installed/QuarnVelmora.exe.config")
check "the settings file is edited in place" grep -q '<applySetting>2</applySetting>' "$installed/QuarnVelmora.exe.config"

echo "== upgrade to $next_version while the program runs"
# The installer starts the program again as the session's user, with that user's own
# environment (HKCU\Environment), not msiexec's: there it finds this run's emulator channel,
# and Wine's overrides for the emulator's DLLs beside it.
user_env='HKCU\Environment'
app_defaults='HKCU\Software\Wine\AppDefaults\QuarnVelmora.exe\DllOverrides'
forget_user_env() {
  wine reg delete "$user_env" /v QUARN_EMU_CHANNEL /f >/dev/null 2>&1 || true
  wine reg delete "${app_defaults%\\DllOverrides}" /f >/dev/null 2>&1 || true
}
trap 'forget_user_env; cleanup' EXIT
wine reg add "$user_env" /v QUARN_EMU_CHANNEL /d "$QUARN_EMU_CHANNEL" /f >/dev/null
for dll in cfgmgr32 powrprof; do wine reg add "$app_defaults" /v "$dll" /d native,builtin /f >/dev/null; done
ctl sim absent >/dev/null
msiexec_timed upgrade_s /i "$(winepath -w "$next_package")"
check "msiexec /i /qn of the newer package succeeds (${upgrade_s} s)" test "$msi_status" = 0
check "the running program has ended, with exit code 0" instance_ended
check "the program was replaced by the new one (no file stayed locked)" cmp -s "$installed/QuarnVelmora.exe" "$next_exe"
check "the edited settings are kept" test "$(cat "$installed/QuarnVelmora.exe.config")" = "$edited"
check "Programs and Features lists only QuarnVelmora $next_version" listed_as "$next_version"
check "the Run value is still there" test "$(run_value)" = '"C:\Program Files\QuarnVelmora\QuarnVelmora.exe"'
# The instance that ran has ended (checked above): a window now is the installer's restart,
# which is not this script's child, so it is ended through its menu and watched for.
exit_by_menu() { probe post 0x111 40002 0 && probe wait-gone 10000; }
check "the installer started the new program again" probe wait-window 30000
check "... and used up its list of sessions" test ! -e "$installed/QuarnVelmora.restart"
check "the kept settings apply: the icon shows without a SIM" probe wait-icon shown 15000
check "... and it ends from its menu" exit_by_menu
forget_user_env
check "the upgraded program starts from the Run value too" start_installed
check "... with its icon" probe wait-icon shown 15000

echo "== uninstall while the program runs, with another client holding the control pipe"
# The pipe serves one client at a time; the server lets a silent one go after 3 s.
probe pipe-hold 10000 > "$work/hold.out" & hold_pid=$!
holding() { grep -q held "$work/hold.out"; }
check "a silent client holds the control pipe" within 15 holding
msiexec_timed uninstall_s /x "$(winepath -w "$next_package")"
check "msiexec /x /qn succeeds (${uninstall_s} s)" test "$msi_status" = 0
check "the running program has ended, with exit code 0" instance_ended
wait "$hold_pid" || true
check "the package's files are gone (only the emulator's DLLs, not the package's, are left)" \
  test "$(installed_files)" = "cfgmgr32.dll powrprof.dll "
check "the Run value is gone" test -z "$(run_value)"
check "Programs and Features no longer lists QuarnVelmora" test -z "$(listed_products)"
emulator_dlls_removed
rmdir "$installed" 2>/dev/null || true

echo "== uninstall with the program not running"
msiexec_timed reinstall_s /i "$(winepath -w "$package")"
check "installed again (${reinstall_s} s)" test "$msi_status" = 0
msiexec_timed uninstall_idle_s /x "$(winepath -w "$package")"
check "msiexec /x /qn succeeds (${uninstall_idle_s} s)" test "$msi_status" = 0
check "Program Files\\QuarnVelmora is gone" test ! -e "$installed"
check "the Run value is gone" test -z "$(run_value)"
check "Programs and Features no longer lists QuarnVelmora" test -z "$(listed_products)"

echo "times under Wine: install ${install_s} s, upgrade ${upgrade_s} s (with a running instance)," \
     "uninstall ${uninstall_s} s (running) and ${uninstall_idle_s} s (not running)"
finish "package e2e"
