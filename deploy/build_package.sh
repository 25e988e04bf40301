#!/usr/bin/env bash
# Builds the Windows Installer package with wixl, signing the executables and the package
# with Authenticode when a certificate and its key are given.
#   build_package.sh --version 1.0.0.0 --exe QuarnVelmora.exe --stopper StopQuarnVelmora.exe \
#                    --config QuarnVelmora.exe.config --profile QuarnVelmora.wprp \
#                    --out QuarnVelmora.msi [--cert cert.pem --key key.pem]
#                    [--test-failure PROPERTY]
# --test-failure is for the tests' packages only: an action right after the stopper's, which
# fails the install when PROPERTY is set, so that the rollback can be watched.
# The files that go into the package (signed when signing) are left in OUT's directory,
# in a folder named after the package with ".files" appended.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

version="" exe="" stopper="" config="" profile="" out="" cert="" key="" test_failure=""
while [ $# -gt 0 ]; do
  case $1 in
    --version) version=$2 ;;
    --exe) exe=$2 ;;
    --stopper) stopper=$2 ;;
    --config) config=$2 ;;
    --profile) profile=$2 ;;
    --out) out=$2 ;;
    --cert) cert=$2 ;;
    --key) key=$2 ;;
    --test-failure) test_failure=$2 ;;
    *) echo "build_package: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
for name in version exe stopper config profile out; do
  if [ -z "${!name}" ]; then echo "build_package: --$name is required" >&2; exit 2; fi
done
if { [ -n "$cert" ] && [ -z "$key" ]; } || { [ -z "$cert" ] && [ -n "$key" ]; }; then
  echo "build_package: --cert and --key go together" >&2; exit 2
fi

stage="$out.files"
rm -rf "$stage"
mkdir -p "$stage"
cp "$exe" "$stage/QuarnVelmora.exe"
cp "$stopper" "$stage/StopQuarnVelmora.exe"
cp "$config" "$stage/QuarnVelmora.exe.config"
cp "$profile" "$stage/QuarnVelmora.wprp"

if [ -n "$cert" ]; then
  for f in QuarnVelmora.exe StopQuarnVelmora.exe; do
    "$here/sign.sh" "$cert" "$key" "$stage/$f" "$stage/$f.signed"
    mv "$stage/$f.signed" "$stage/$f"
  done
fi

out=$(realpath "$out")
unsigned="$out.unsigned"
rm -f "$unsigned"
# The presets the settings file names: what APPLYSETTING may be, as the program compares it
# (the Number attribute, character for character).
presets=$(python3 - "$config" <<'PY'
import sys
import xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
presets = root.find("presets")
numbers = [p.get("Number") for p in (presets.findall("preset") if presets is not None else [])]
numbers = [n for n in numbers if n and all(c.isdigit() for c in n)]
print(" ".join(dict.fromkeys(numbers)))
PY
)
if [ -z "$presets" ]; then echo "build_package: $config names no preset" >&2; exit 1; fi
condition="NOT APPLYSETTING"
for number in $presets; do condition="$condition OR APPLYSETTING=\"$number\""; done
# wixl finds the files in its working directory.
(cd "$stage" && wixl -a x64 -D Version="$version" -D Presets="${presets// /, }" -D PresetCondition="$condition" \
   -o "$unsigned" "$here/QuarnVelmora.wxs") 2> "$out.wixl.log" || { cat "$out.wixl.log" >&2; exit 1; }
rm -f "$out.wixl.log"
# What wixl 0.101 cannot say (see QuarnVelmora.wxs): the stopper's actions run from the Binary
# table (type 2, deferred 0x400, as LocalSystem 0x800; 0x40 ignoring the exit code, 0x100 at
# rollback only), and an existing settings file is never overwritten (64-bit component,
# NeverOverwrite).
set_type() { msibuild "$unsigned" -q "UPDATE CustomAction SET Type = $2, Source = 'StopperBinary' WHERE Action = '$1'"; }
for action in StopRunningInstance StopForUpdate RestartInstances; do set_type "$action" 3138; done
set_type RestartOnRollback 3394
set_type ApplySetting 3074
msibuild "$unsigned" -q "UPDATE Component SET Attributes = 384 WHERE Component = 'Settings'"
secure=$(msiinfo export "$unsigned" Property | tr -d '\r' | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }')
msibuild "$unsigned" -q "UPDATE Property SET Value = '${secure:+$secure;}APPLYSETTING' WHERE Property = 'SecureCustomProperties'"
if [ -n "$test_failure" ]; then
  # Type 19 | 0x400: an error at its turn in the script, after the stop has run.
  msibuild "$unsigned" -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('TestFailureAfterStop', 1043, '', 'Failing on purpose after the stop ($test_failure is set).')"
  msibuild "$unsigned" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('TestFailureAfterStop', '$test_failure', 1504)"
fi

if [ -n "$cert" ]; then
  "$here/sign.sh" "$cert" "$key" "$unsigned" "$out.signed"
  mv "$out.signed" "$out"
  rm -f "$unsigned"
else
  mv "$unsigned" "$out"
fi
echo "build_package: $out ($(stat -c %s "$out") bytes, version $version$([ -n "$cert" ] && echo ", signed"))"
