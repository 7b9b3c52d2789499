#!/bin/bash
# Runs a test of the 32-bit build: `need-32-bit.sh COMMAND...`. Where 32-bit
# programs cannot run (no wine32, or neither the kernel nor a binfmt_misc
# emulator runs i386 code), the test is reported skipped (exit code 77) with
# the reason; under CI, where the 32-bit run must happen, it fails instead.
set -uo pipefail

reason=
if [ ! -x /usr/lib/wine/wine ]; then
    reason="32-bit Wine (wine32:i386) is not installed"
elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    reason="the kernel cannot run i386 programs and no emulator is registered for them in binfmt_misc"
fi
if [ -n "$reason" ]; then
    if [ "${CI:-}" = true ]; then
        echo "FAIL: the 32-bit build cannot run here: $reason (scripts/deps.sh sets it up)"
        exit 1
    fi
    echo "SKIPPED: the 32-bit build cannot run here: $reason (scripts/deps.sh sets it up)"
    exit 77
fi
exec "$@"
