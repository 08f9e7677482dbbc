#!/usr/bin/env bash
# Sets up the machine, builds both programs (and the x86-64 Windows build that runs
# under Wine here), and runs every test: unit tests on Linux and under Wine, the file
# checks of the 32-bit program, the Wine and Qt end-to-end tests, and the unit tests
# again with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=${KF_JOBS:-2}
passed=0
failed=0
status=0
for preset in linux win64 win32 linux-asan; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: test"
  log=$(mktemp)
  set +e
  ctest --preset "$preset" --timeout 900 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  set -e
  summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [[ $summary =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
  rm -f "$log"
  [[ $rc -eq 0 ]] || status=1
done

# Leave no Wine server behind.
WINEPREFIX="${KF_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/korvel-flash/wine64}" \
  /usr/lib/wine/wineserver64 -k 2>/dev/null || true

echo "total: $passed passed, $failed failed"
exit $status
