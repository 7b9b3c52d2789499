#!/bin/bash
# Builds every preset and runs every test that can run here: the native unit
# tests under the sanitizers, and the Windows builds' tests under Wine (the
# 32-bit build's under 32-bit Wine, or reported skipped with the reason where
# 32-bit programs cannot run).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/build.sh native mingw-x64 mingw-x86

passed=0
failed=0
skipped=0
status=0
for preset in native mingw-x64 mingw-x86; do
    echo "== test $preset"
    log=build/$preset.ctest.log
    ctest --preset "$preset" 2>&1 | tee "$log" || status=1
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" || true)
    if [ -n "$summary" ]; then
        total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
        bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
        skips=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*Skipped' "$log" || true)
        passed=$((passed + total - bad - skips))
        failed=$((failed + bad))
        skipped=$((skipped + skips))
    fi
    # ctest shows no output of a skipped test: its reason, once.
    grep -h '^SKIPPED: ' "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null | sort -u || true
done
if [ "$skipped" -gt 0 ]; then
    echo "ctest: $passed passed, $failed failed, $skipped skipped"
else
    echo "ctest: $passed passed, $failed failed"
fi
exit $status
