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
)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# tinyxml2 has no mingw build in Debian: its source package is compiled for the target.
src_list=/etc/apt/sources.list.d/quarnvelmora-src.sources
need_update=0
if [ ! -f "$src_list" ]; then
  as_root tee "$src_list" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_update=1
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ]; then
  as_root apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

deps="$top/.deps"
if ! ls "$deps"/tinyxml2-*/tinyxml2.cpp >/dev/null 2>&1; then
  mkdir -p "$deps"
  (cd "$deps" && apt-get source -qq tinyxml2 >/dev/null)
fi
ls -d "$deps"/tinyxml2-*/ | head -n 1 | sed 's:/$::' > "$deps/tinyxml2.path"
echo "setup: ready (tinyxml2 source at $(cat "$deps/tinyxml2.path"))"
