#!/usr/bin/env bash
# End to end: the Windows Installer package under Wine's msiexec, as an administrator
# deploys it and a user meets it: a silent install with a settings preset, the program
# started by the Run value from Program Files (with the modem emulator), an upgrade to a newer
# package while the program runs that keeps the edited settings, one that fails and is rolled
# back, one that changes the preset, and uninstalls with and without the program running; and
# the stopper against an instance that will not close. Each check is what a person would see.
#   run_package_e2e.sh QuarnVelmora.exe tray_probe.exe EMULATOR_DIR PACKAGE.msi NEXT.msi \
#                      FAILING.msi stubborn_instance.exe
# NEXT.msi is a package of a higher version, FAILING.msi one higher still whose install fails
# after the stop when QUARN_TEST_FAIL_AFTER_STOP is set; each package's files are in
# PACKAGE.msi.files.
set -euo pipefail
exe=$(realpath "$1")
probe=$(realpath "$2")
emu=$(realpath "$3")
package=$(realpath "$4")
next_package=$(realpath "$5")
failing_package=$(realpath "$6")
stubborn=$(realpath "$7")
shipped_exe="$package.files/QuarnVelmora.exe"
next_exe="$next_package.files/QuarnVelmora.exe"
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/e2e_lib.sh
source "$here/e2e_lib.sh"

version_of() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductVersion" { print $2 }'; }
version=$(version_of "$package")
next_version=$(version_of "$next_package")
failing_version=$(version_of "$failing_package")
config_default="$here/../../app/demo/QuarnVelmora.exe.config"
# The shipped settings with only applySetting changed to $1.
config_with() { sed "s|<applySetting>1</applySetting>|<applySetting>$1</applySetting>|" "$config_default"; }

installed="$WINEPREFIX/drive_c/Program Files/QuarnVelmora"
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
product_key='HKLM\Software\QuarnVelmora'

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
# The Linux process ids of the installed program's running instances (none: empty).
installed_pids() { pgrep -f -- 'QuarnVelmora\\QuarnVelmora.exe' | sort | tr '\n' ' ' || true; }
# The stopper's restart list is gone: the product's key holds no value and no subkey.
no_restart_list() {
  local listed
  listed=$(wine_tool reg query "$product_key" /s 2>/dev/null) || return 0  # no key at all
  listed=$(tr -d '\r' <<<"$listed" | grep -v -x -F -e '' -e 'HKEY_LOCAL_MACHINE\Software\QuarnVelmora' || true)
  [ -z "$listed" ] || { echo "left: $listed"; return 1; }
}

# Times msiexec; its exit code is kept in msi_status, its seconds in the named variable.
msi_status=0
msiexec_timed() {
  local into=$1; shift
  local start end
  start=$(date +%s%3N)
  msi_status=0
  wine_tool msiexec "$@" /qn /l*v "$(winepath -w "$work/msiexec.log")" || msi_status=$?
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
# The same where the installer starts the program again: a window may be the new instance's.
instance_closed() {
  if ! within 20 eval '! running "$app_pid"'; then echo "still running"; return 1; fi
  app_exited_with_zero
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
check "... and returns at once (${stop_ms} ms; its deadline is 20 s)" test "$stop_ms" -lt 8000

echo "== the stopper, with an instance that ignores WM_CLOSE, started by its short (8.3) name"
mkdir -p "$work/stubborn folder"
stubborn_image="$work/stubborn folder/QuarnVelmora.exe"
cp "$stubborn" "$stubborn_image"
stubborn_short=$(winepath -s "$(winepath -w "$stubborn_image")" | tr -d '\r')
check "the instance is started by a short name ($stubborn_short)" test "${stubborn_short##*\\}" != QuarnVelmora.exe
wine "$stubborn_short" & stubborn_pid=$!
check "... and its window appears" probe wait-window 30000
start=$(date +%s%3N); stop_code=0
QUARN_TRACE_DEBUG_OUTPUT=1 WINEDEBUG=-all,warn+debugstr wine "$stopper" "$(winepath -w "$stubborn_image")" \
  2> "$work/stopper.err" || stop_code=$?
stop_ms=$(( $(date +%s%3N) - start ))
check "the stopper ends it at its deadline (${stop_ms} ms; 20 s)" test "$stop_ms" -ge 19000 -a "$stop_ms" -lt 40000
check "... it is gone" within 5 eval '! running "$stubborn_pid"'
check "... and the exit code says it was ended (2: none left, one by TerminateProcess)" test "$stop_code" = 2
check "... and the stopper says so in its trace" \
  grep -q 'still ran at the deadline: TerminateProcess' "$work/stopper.err"
kill "$stubborn_pid" 2>/dev/null || true

echo "== an install with a preset that the settings file does not know"
msiexec_timed bad_s /i "$(winepath -w "$package")" APPLYSETTING=7
check "msiexec /i /qn APPLYSETTING=7 fails (${bad_s} s, exit code $msi_status)" test "$msi_status" != 0
# Windows writes the launch condition's message into the log; Wine's log says only that
# the condition failed (check_package.py checks the message in the package).
check "... at its launch conditions, before anything is done" \
  grep -a -q -E 'Action ended [0-9:]+: LaunchConditions\. Return value 0\.' "$work/msiexec.log"
check "... and installs nothing" test ! -e "$installed" -a -z "$(run_value)" -a -z "$(listed_products)"

echo "== silent install of $version with the preset \"the icon always shows\""
msiexec_timed install_s /i "$(winepath -w "$package")" APPLYSETTING=2
check "msiexec /i /qn APPLYSETTING=2 succeeds (${install_s} s)" test "$msi_status" = 0
check "Program Files\\QuarnVelmora holds the program, its settings and the trace profile" \
  test "$(installed_files)" = "$package_files"
check "the installed program is the one in the package" cmp -s "$installed/QuarnVelmora.exe" "$shipped_exe"
check "the settings are the shipped ones with applySetting 2" \
  cmp -s "$installed/QuarnVelmora.exe.config" <(config_with 2)
check "the Run value starts it at every logon" test "$(run_value)" = '"C:\Program Files\QuarnVelmora\QuarnVelmora.exe"'
check "Programs and Features lists QuarnVelmora $version" listed_as "$version"

echo "== the program starts from Program Files"
ctl reset >/dev/null; ctl modem 5g >/dev/null; ctl sim absent >/dev/null
check "the window appears" start_installed
check "the icon shows without a SIM (the preset)" probe wait-icon shown 15000
close_code=0
cp "$stubborn" "$work/QuarnVelmora.exe"
wine "$stopper" "$(winepath -w "$work/QuarnVelmora.exe")" || close_code=$?
check "a stopper told of another QuarnVelmora.exe closes nothing (exit code 0: none of that file runs)" \
  test "$close_code" = 0
check "... the installed one still runs with its icon" probe wait-icon shown 1000

echo "== the administrator edits the settings: About leaves the menu of preset 1"
sed -i 's|<Menu Name="About" Display="Show"/>|<Menu Name="About" Display="Hide"/>|' "$installed/QuarnVelmora.exe.config"
edited=$(cat "$installed/QuarnVelmora.exe.config")
check "the settings file is edited in place" grep -q 'Name="About" Display="Hide"' "$installed/QuarnVelmora.exe.config"

echo "== the program runs by its short (8.3) name too"
check "the instance started from the Run value ends from its menu" exit_app
installed_short=$(winepath -s 'C:\Program Files\QuarnVelmora\QuarnVelmora.exe' | tr -d '\r')
WINEDLLOVERRIDES="mscoree,mshtml=;cfgmgr32,powrprof=n,b" wine "$installed_short" & app_pid=$!
check "the window of the one started as $installed_short appears" probe wait-window 30000

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
msiexec_timed upgrade_s /i "$(winepath -w "$next_package")"
check "msiexec /i /qn of the newer package succeeds (${upgrade_s} s)" test "$msi_status" = 0
check "the running program (started by its short name) was closed: it ended with exit code 0" instance_closed
check "the program was replaced by the new one (no file stayed locked)" cmp -s "$installed/QuarnVelmora.exe" "$next_exe"
check "the edited settings are kept" test "$(cat "$installed/QuarnVelmora.exe.config")" = "$edited"
check "Programs and Features lists only QuarnVelmora $next_version" listed_as "$next_version"
check "the Run value is still there" test "$(run_value)" = '"C:\Program Files\QuarnVelmora\QuarnVelmora.exe"'
# The instance that ran has ended (checked above): a window now is the installer's restart,
# which is not this script's child, so it is ended through its menu and watched for.
exit_by_menu() { probe post 0x111 40002 0 && probe wait-gone 10000; }
check "the installer started the new program again" probe wait-window 30000
check "... and used up its list of sessions" no_restart_list
check "the kept settings apply: the icon shows without a SIM" probe wait-icon shown 15000

check "... and it ends from its menu" exit_by_menu
check "the upgraded program starts from the Run value too" start_installed
ctl sim ready >/dev/null; ctl slot 1 >/dev/null
check "... with its icon (SIM in slot 1)" probe wait-icon shown 15000

echo "== uninstall while the program runs, with another client holding the control pipe"
# The pipe serves one client at a time; the server lets a silent one go after 3 s.
probe pipe-hold 10000 > "$work/hold.out" & hold_pid=$!
holding() { grep -q held "$work/hold.out"; }
check "a silent client holds the control pipe" within 15 holding
msiexec_timed uninstall_s /x "$(winepath -w "$next_package")"
check "msiexec /x /qn succeeds (${uninstall_s} s)" test "$msi_status" = 0
check "the running program has ended, with exit code 0" instance_ended
wait "$hold_pid" || true
uninstalled() {
  check "the package's files are gone (the emulator's DLLs, not the package's, may be left)" \
    test -z "$(installed_files | sed 's/cfgmgr32.dll //; s/powrprof.dll //')"
  check "the Run value is gone" test -z "$(run_value)"
  check "Programs and Features no longer lists QuarnVelmora" test -z "$(listed_products)"
  check "nothing is left in the product's key" no_restart_list
  emulator_dlls_removed
  rmdir "$installed" 2>/dev/null || true
}
uninstalled

# Wine 8 forgets an upgraded product's upgrade code when it removes the older product, so a
# second upgrade in a row would install beside it: each upgrade here starts from $version.
echo "== an upgrade to $failing_version with the preset \"the icon follows the SIM\""
msiexec_timed reinstall_s /i "$(winepath -w "$package")" APPLYSETTING=2
check "$version installed again with applySetting 2 (${reinstall_s} s)" \
  cmp -s "$installed/QuarnVelmora.exe.config" <(config_with 2)
sed -i 's|<Menu Name="About" Display="Show"/>|<Menu Name="About" Display="Hide"/>|' "$installed/QuarnVelmora.exe.config"
edited=$(cat "$installed/QuarnVelmora.exe.config")
ctl sim absent >/dev/null
check "the program starts from the Run value" start_installed
check "... with its icon, without a SIM" probe wait-icon shown 15000
msiexec_timed preset_s /i "$(winepath -w "$failing_package")" APPLYSETTING=1
check "msiexec /i /qn APPLYSETTING=1 succeeds (${preset_s} s)" test "$msi_status" = 0
check "Programs and Features lists only QuarnVelmora $failing_version" listed_as "$failing_version"
check "only applySetting changed in the edited settings" \
  test "$(cat "$installed/QuarnVelmora.exe.config")" = "${edited/<applySetting>2</<applySetting>1<}"
check "the running program was closed: it ended with exit code 0" instance_closed
check "the installer started it again" probe wait-window 30000
check "... and it now follows the SIM: no icon without one" fails probe wait-icon shown 8000
check "... and left no list of sessions" no_restart_list
check "... and it ends from its menu" exit_by_menu
msiexec_timed uninstall_idle_s /x "$(winepath -w "$failing_package")"
check "msiexec /x /qn with the program not running succeeds (${uninstall_idle_s} s)" test "$msi_status" = 0
uninstalled

echo "== an upgrade that fails after the program was closed, and is rolled back"
msiexec_timed install_plain_s /i "$(winepath -w "$package")"
check "installed again, without a preset (${install_plain_s} s)" test "$msi_status" = 0
check "the settings are the shipped ones" cmp -s "$installed/QuarnVelmora.exe.config" "$config_default"
ctl sim ready >/dev/null; ctl slot 1 >/dev/null
check "the program starts from the Run value" start_installed
# The stopper's trace, through the debug output of the processes the installer starts.
QUARN_TRACE_DEBUG_OUTPUT=1 WINEDEBUG=-all,warn+debugstr \
  msiexec_timed failed_s /i "$(winepath -w "$failing_package")" QUARN_TEST_FAIL_AFTER_STOP=1 2> "$work/failed.err"
check "msiexec /i /qn of $failing_version fails (${failed_s} s, exit code $msi_status)" test "$msi_status" != 0
check "... after the stop, which closed the program: it ended with exit code 0" instance_closed
check "... having remembered its session" grep -a -q 'CloseInstances : closed 1, ended 0, left 0' "$work/failed.err"
# Wine's rollback of an upgrade removes the files of both versions (Windows restores the older
# ones) before it runs the rollback actions, so here the restart can only be asked for.
check "the rollback action starts the program again in that session" \
  grep -a -q -E 'RestartRemembered : (started|the program cannot be started) in session [0-9]+' "$work/failed.err"
check "... and leaves no list of sessions" no_restart_list
msiexec_timed uninstall_failed_s /x "$(winepath -w "$package")"
check "msiexec /x /qn afterwards succeeds (${uninstall_failed_s} s)" test "$msi_status" = 0
uninstalled

echo "times under Wine: install ${install_s} s, upgrade ${upgrade_s} s (with a running instance)," \
     "uninstall ${uninstall_s} s (running) and ${uninstall_idle_s} s (not running)," \
     "a failing upgrade ${failed_s} s (with a running instance)"
finish "package e2e"
