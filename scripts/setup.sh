#!/usr/bin/env bash
# Installs every Debian package that building, running and testing need. Idempotent:
# when everything is there it only checks and returns. The 32-bit Windows program's
# tests run under 32-bit Wine, which is installed only where this machine executes
# 32-bit x86 code (tested by running such a program, scripts/can-run-i386).
#
# An archive caught mid-sync must not stop a new machine: an index that fails to download
# is named and left out. When the i386 Wine packages cannot be installed as the indexes
# stand (their multi-arch twins at versions only a broken index has), it tries once more
# preferring the base release, through a preference file given to that one apt command.
# Only a package that really cannot be installed stops it, named in one line; for the
# Wine packages that means the 32-bit program's tests are skipped, not a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C  # apt's messages as this script reads them, and one sort order

packages=(
  cmake ninja-build g++ binutils python3 file clang-format
  libgtest-dev googletest
  qt6-base-dev qt6-base-dev-tools libgl-dev
  g++-mingw-w64-i686-win32
  xvfb xauth x11-utils xdotool imagemagick
  desktop-file-utils appstream libxml2-utils man-db dpkg-dev lintian polkitd
)
i386_packages=(wine wine32:i386 fonts-wine)
log=build/setup.log  # apt's own output; what it decides is said here
log_started=

sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
updated=no
prefs_dir=
trap '[[ -z $prefs_dir ]] || "${sudo_cmd[@]}" rm -rf "$prefs_dir"' EXIT

say() { echo "setup: $*"; }

missing() {  # the packages given (name or name:arch) that are not installed
  { dpkg-query -W -f='${db:Status-Abbrev} ${Package}:${Architecture}\n' "$@" 2>/dev/null || true; } |
    awk -v want="$*" '
      $1 == "ii" { have[$2]; sub(/:.*/, "", $2); have[$2] }
      END { n = split(want, w, " "); for (i = 1; i <= n; i++) if (!(w[i] in have)) print w[i] }'
}

apt_get() {  # its output kept in $out and added to the log
  local code=0
  if [[ -z $log_started ]]; then
    mkdir -p "$(dirname "$log")"
    : >"$log"
    log_started=yes
  fi
  out=$("${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q "$@" 2>&1) || code=$?
  printf '$ apt-get %s\n%s\n' "$*" "$out" >>"$log"
  return $code
}

update() {
  [[ $updated == no ]] || return 0
  updated=yes
  apt_get update && return 0
  # apt ignores an index it could not fetch and exits 100; the others are good.
  local failed
  failed=$(sed -nE 's/^[WE]: Failed to fetch ([^ ]+) +(.*)$/\1: \2/p' <<<"$out")
  if [[ -n $failed ]]; then
    while read -r line; do say "index left out, $line"; done <<<"$failed"
  else
    say "apt-get update failed ($(why)); going on with the indexes there are"
  fi
}

why() {  # apt's reason in one line: its errors, and the first dependency it could not meet
  local errors unmet
  errors=$(sed -nE 's/^E: //p' <<<"$out" | paste -sd ' ' -)
  unmet=$(grep -m1 -E ' : (Pre)?Depends: ' <<<"$out" | sed -E 's/^ +//; s/ +/ /g') || true
  echo "${errors:-apt-get exited non-zero}${unmet:+ ($unmet)}"
}

install() {
  update
  apt_get install -y --no-install-recommends "$@"
}

versions() {
  dpkg-query -W -f='${db:Status-Abbrev} ${Package}:${Architecture} ${Version}\n' |
    awk '$1 == "ii" { print $2, $3 }' | sort
}

# Once more, preferring the base release over its security suite, downgrades allowed, so
# that every multi-arch twin can be had at one version.
install_preferring_base() {
  local codename before
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [[ -z $codename ]]; then
    out="E: no VERSION_CODENAME in /etc/os-release to prefer"
    return 1
  fi
  # Made by the user apt runs as, so that nobody else can change it before apt reads it.
  prefs_dir=$("${sudo_cmd[@]}" mktemp -d)
  printf 'Package: *\nPin: release n=%s\nPin-Priority: 1001\n\nPackage: *\nPin: release n=%s-security\nPin-Priority: 100\n' \
    "$codename" "$codename" | "${sudo_cmd[@]}" tee "$prefs_dir/preferences" >/dev/null
  say "trying again preferring $codename over $codename-security (downgrades allowed)"
  before=$(versions)
  local code=0
  install --allow-downgrades -o "Dir::Etc::Preferences=$prefs_dir/preferences" "$@" || code=$?
  "${sudo_cmd[@]}" rm -rf "$prefs_dir"
  prefs_dir=
  join -a2 <(echo "$before") <(versions) | awk '
    NF == 3 && $2 != $3 { print "setup: changed " $1 " " $2 " -> " $3 }
    NF == 2 { added++ }
    END { if (added) print "setup: " added " packages newly installed" }'
  local saved=$out
  if ! apt_get check; then
    say "the package system is not consistent after that install: $(why); see $log"
    exit 1
  fi
  out=$saved
  return $code
}

mapfile -t wanted < <(missing "${packages[@]}")
if ((${#wanted[@]})); then
  say "installing ${wanted[*]} (apt's output: $log)"
  if ! install "${wanted[@]}"; then
    say "cannot install ${wanted[*]}: $(why)"
    exit 1
  fi
fi

no_wine() {
  say "no 32-bit Wine: the tests of the 32-bit Windows program will be SKIPPED, and"
  say "scripts/run.sh rehearses with the Linux program."
}

if ! scripts/can-run-i386; then
  say "all packages present, but this machine cannot run 32-bit x86 code:"
  no_wine
  exit 0
fi
mapfile -t wanted < <(missing "${i386_packages[@]}")
if ((${#wanted[@]})); then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
    updated=no
  fi
  say "installing ${wanted[*]} (apt's output: $log)"
  if ! install "${wanted[@]}"; then
    say "they cannot be installed as the indexes stand: $(why)"
    if ! install_preferring_base "${wanted[@]}"; then
      say "cannot install ${wanted[*]}: $(why)"
      no_wine
      exit 0
    fi
  fi
fi
say "all packages present"
