#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test QuarnVelmora,
# and unpacks tinyxml2's Debian source package for the Windows build.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev googletest libbenchmark-dev libtinyxml2-dev
  clang-14 libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64 xvfb x11-utils xdotool imagemagick trayer
  dpkg-dev python3
  wixl msitools osslsigncode openssl
)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# tinyxml2 has no mingw build in Debian: its source package is compiled for the target.
# The source entry mirrors the system's own binary entries for its release (whatever mirror
# or proxy they name), and is written only when apt has none for them.
add_source_entry() {
  local source_list source_parts codename stanza
  eval "$(apt-config shell source_list Dir::Etc::sourcelist/f source_parts Dir::Etc::sourceparts/d)"
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  stanza=$(python3 "$top/scripts/apt_source_entry.py" "$codename" "$source_list" \
             "$source_parts"/*.list "$source_parts"/*.sources)
  if [ -n "$stanza" ]; then
    echo "setup: adding a source entry for $codename in ${source_parts%/}/quarnvelmora-src.sources"
    printf '%s\n' "$stanza" | as_root tee "${source_parts%/}/quarnvelmora-src.sources" >/dev/null
    as_root apt-get update -qq
  fi
}

deps="$top/.deps"
if ! ls "$deps"/tinyxml2-*/tinyxml2.cpp >/dev/null 2>&1; then
  add_source_entry
  mkdir -p "$deps"
  (cd "$deps" && apt-get source -qq tinyxml2 >/dev/null)
fi
ls -d "$deps"/tinyxml2-*/ | head -n 1 | sed 's:/$::' > "$deps/tinyxml2.path"
echo "setup: ready (tinyxml2 source at $(cat "$deps/tinyxml2.path"))"
