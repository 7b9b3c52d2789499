#!/bin/bash
# Builds every preset and runs every test that can run here: the native unit
# tests under the sanitizers, and the Windows build's tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/build.sh native mingw-x64 mingw-x86

passed=0
failed=0
status=0
for preset in native mingw-x64 mingw-x86; do
    echo "== test $preset"
    log=build/$preset.ctest.log
    ctest --preset "$preset" 2>&1 | tee "$log" || status=1
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" || true)
    if [ -n "$summary" ]; then
        total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
        bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
        passed=$((passed + total - bad))
        failed=$((failed + bad))
    fi
done
echo "ctest: $passed passed, $failed failed"
exit $status
