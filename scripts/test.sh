#!/usr/bin/env bash
# Sets up the machine, builds the Linux program, the 32-bit Windows program and the
# sanitizer build of the unit tests, and runs every test of each with CTest: unit tests
# (on Linux, and the 32-bit program's under 32-bit Wine), the checks of the built files
# (the Windows program's imports against Windows 98 and 2000), the Wine and Qt end-to-end
# tests, the headless rehearsal from a new Wine prefix, packaging and format checks.
# Where this machine cannot run 32-bit x86 code the 32-bit program's tests are reported
# as skipped, by name. KF_JOBS (default 2) sets the build and test parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
scripts/setup.sh

jobs=${KF_JOBS:-2}
presets=(linux win32 linux-asan)
if cmake --list-presets 2>/dev/null | grep -q '"linux-fuzz"'; then
  presets+=(linux-fuzz)
fi
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
summary=()
failed_builds=()
status=0
for preset in "${presets[@]}"; do
  echo "== $preset: configure and build"
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$jobs"; }; then
    failed_builds+=(--failed-build "$preset")
    status=1
    continue
  fi
  echo "== $preset: test"
  ctest --preset "$preset" --show-only=json-v1 >"$results/$preset.json"
  ctest --preset "$preset" -j "$jobs" --timeout 900 --output-junit "$results/$preset.xml" ||
    status=1
  summary+=("$preset=$results/$preset.xml,$results/$preset.json")
done

python3 scripts/test-summary.py "${summary[@]}" "${failed_builds[@]}" || status=1
echo "test.sh: $((SECONDS - started)) s"
exit $status
