#!/usr/bin/env bash
# Sets up the machine, builds the 32-bit Windows program, the Linux program, the sanitizer
# build of the unit tests and the fuzz targets, and runs every test of each with CTest:
# unit tests (on Linux, and the 32-bit program's under 32-bit Wine), the checks of the
# built files (the Windows program's imports against Windows 98 and 2000), the Wine and Qt
# end-to-end tests, the headless rehearsals (the Windows programs from a new Wine prefix,
# the Linux programs on a virtual display), setup.sh's decisions, packaging and format
# checks, fuzzing. Where 32-bit Windows programs cannot run (no 32-bit x86, or 32-bit Wine
# could not be installed) the 32-bit program's tests are reported as skipped, by name.
# KF_JOBS (default 2) sets the build and test parallelism.
#
# A build's tests run while the next build compiles: most of their time is spent waiting
# for windows and drives, which costs the compiler little.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
scripts/setup.sh

jobs=${KF_JOBS:-2}
presets=(win32 linux linux-asan)
if cmake --list-presets 2>/dev/null | grep -q '"linux-fuzz"'; then
  presets+=(linux-fuzz)
fi
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
testing=()
failed_builds=()
status=0

run_tests() {  # preset: CTest's output to a file, its exit code beside it
  local preset=$1
  ctest --preset "$preset" --show-only=json-v1 >"$results/$preset.json" 2>"$results/$preset.out"
  set +e
  ctest --preset "$preset" -j "$jobs" --timeout 900 --output-junit "$results/$preset.xml" \
    >>"$results/$preset.out" 2>&1
  echo $? >"$results/$preset.status"
}

for preset in "${presets[@]}"; do
  echo "== $preset: configure and build"
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$jobs"; }; then
    failed_builds+=(--failed-build "$preset")
    status=1
    continue
  fi
  echo "== $preset: tests started"
  run_tests "$preset" &
  testing+=("$preset")
done
echo "== waiting for the tests of ${testing[*]}"
wait

summary=()
for preset in "${testing[@]}"; do
  if [[ $(cat "$results/$preset.status" 2>/dev/null) != 0 ]]; then
    echo "== $preset: CTest's report"
    cat "$results/$preset.out"
    status=1
  fi
  summary+=("$preset=$results/$preset.xml,$results/$preset.json")
done
why=$(scripts/can-run-win32) || true
python3 scripts/test-summary.py "${summary[@]}" "${failed_builds[@]}" ${why:+--why "$why"} ||
  status=1
echo "test.sh: $((SECONDS - started)) s"
exit $status
