#!/usr/bin/env bash
# Builds the Windows Installer package with wixl, signing the executables and the package
# with Authenticode when a certificate and its key are given.
#   build_package.sh --version 1.0.0.0 --exe QuarnVelmora.exe --stopper StopQuarnVelmora.exe \
#                    --config QuarnVelmora.exe.config --profile QuarnVelmora.wprp \
#                    --out QuarnVelmora.msi [--cert cert.pem --key key.pem]
# The files that go into the package (signed when signing) are left in OUT's directory,
# in a folder named after the package with ".files" appended.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

version="" exe="" stopper="" config="" profile="" out="" cert="" key=""
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
# wixl finds the files in its working directory.
(cd "$stage" && wixl -a x64 -D Version="$version" -o "$unsigned" "$here/QuarnVelmora.wxs") 2> "$out.wixl.log" || {
  cat "$out.wixl.log" >&2; exit 1; }
rm -f "$out.wixl.log"
# What wixl 0.101 cannot say (see QuarnVelmora.wxs): the stopper's actions run from the Binary table
# (type 2, ignoring its exit code, deferred, as LocalSystem), and an existing settings file
# is never overwritten (64-bit component, NeverOverwrite), and the stopper's restart list is
# removed on uninstall.
for action in StopRunningInstance StopForUpdate RestartInstances; do
  msibuild "$unsigned" -q "UPDATE CustomAction SET Type = 3138, Source = 'StopperBinary' WHERE Action = '$action'"
done
msibuild "$unsigned" -q "UPDATE Component SET Attributes = 384 WHERE Component = 'Settings'"
# InstallMode 2: removed on uninstall.
msibuild "$unsigned" -q "INSERT INTO RemoveFile (FileKey, Component_, FileName, DirProperty, InstallMode) VALUES ('RestartList', 'MainExecutable', 'QuarnVelmora.restart', 'INSTALLDIR', 2)"

if [ -n "$cert" ]; then
  "$here/sign.sh" "$cert" "$key" "$unsigned" "$out.signed"
  mv "$out.signed" "$out"
  rm -f "$unsigned"
else
  mv "$unsigned" "$out"
fi
echo "build_package: $out ($(stat -c %s "$out") bytes, version $version$([ -n "$cert" ] && echo ", signed"))"
