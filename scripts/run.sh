#!/usr/bin/env bash
# The main job: sets the machine up, builds the programs, and rehearses a whole flash on
# the emulated drive (in a real window where there is a display, headless otherwise).
# Headless it clicks through the 32-bit Windows programs under Wine; where those cannot
# run it clicks through the Linux programs on a virtual display instead, and says why.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
presets=(linux)
rehearsal=(--linux build/linux)
if why=$(scripts/can-run-win32); then
  presets+=(win32)
  rehearsal+=(--win32 build/win32)
elif [[ -z ${DISPLAY:-} ]]; then
  echo "run: rehearsing with the Linux program on a virtual display, not with the 32-bit"
  echo "run: Windows program under Wine: $why."
fi
for preset in "${presets[@]}"; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "${KF_JOBS:-2}"
done
echo "== rehearsal"
exec python3 scripts/rehearsal.py "${rehearsal[@]}" --out build/rehearsal
