#!/usr/bin/env bash
# Installs every Debian package that building, running and testing need. Idempotent:
# when everything is there it only checks and returns.
set -euo pipefail

packages=(
  cmake ninja-build g++ python3 file
  libgtest-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  wine wine64
  xvfb xauth x11-utils xdotool imagemagick
  desktop-file-utils appstream libxml2-utils man-db dpkg-dev lintian polkitd
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends \
    "${missing[@]}"
else
  echo "setup: all packages present"
fi
