#!/usr/bin/env bash
# Installs every Debian package that building, running and testing need. Idempotent:
# when everything is there it only checks and returns. The 32-bit Windows program's
# tests run under 32-bit Wine, which is installed only where this machine executes
# 32-bit x86 code (tested by running such a program, scripts/can-run-i386).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ binutils python3 file clang-format
  libgtest-dev googletest
  qt6-base-dev qt6-base-dev-tools libgl-dev
  g++-mingw-w64-i686-win32
  xvfb xauth x11-utils xdotool imagemagick
  desktop-file-utils appstream libxml2-utils man-db dpkg-dev lintian polkitd
)
i386_packages=(wine wine32:i386 fonts-wine)

sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
updated=no

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

install() {
  echo "setup: installing $*"
  if [[ $updated == no ]]; then
    "${sudo_cmd[@]}" apt-get update -q
    updated=yes
  fi
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "$@"
}

mapfile -t wanted < <(missing "${packages[@]}")
((${#wanted[@]} == 0)) || install "${wanted[@]}"

if scripts/can-run-i386; then
  mapfile -t wanted < <(missing "${i386_packages[@]}")
  if ((${#wanted[@]})); then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      "${sudo_cmd[@]}" dpkg --add-architecture i386
      updated=no
    fi
    install "${wanted[@]}"
  fi
  echo "setup: all packages present"
else
  echo "setup: all packages present, but this machine cannot run 32-bit x86 code:"
  echo "setup: no 32-bit Wine; the tests of the 32-bit Windows program will be SKIPPED."
fi
