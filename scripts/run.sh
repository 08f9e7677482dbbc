#!/usr/bin/env bash
# The main job: sets the machine up, builds both programs, and rehearses a whole flash on
# the emulated drive (in a real window where there is a display, headless otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in linux win32; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "${KF_JOBS:-2}"
done
echo "== rehearsal"
exec python3 scripts/rehearsal.py --linux build/linux --win32 build/win32 --out build/rehearsal
