#!/bin/bash
# Makes the release packages build/packages/KZviVIVaru-1.0-x86-any-Windows-XP-to-11.zip
# and KZviVIVaru-1.0-x64-64bit-Windows-only.zip (exe, operator guide
# README-CHS.txt, SHA256SUMS).
# Reproducible: every time stored in them is SOURCE_DATE_EPOCH, by default the
# commit's time, so the same commit gives the same bytes wherever it is built.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/build.sh mingw-x64 mingw-x86

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)  # else 1980-01-01
fi
export SOURCE_DATE_EPOCH
export TZ=UTC  # zip entries keep local time: one zone for every build

for preset in mingw-x64 mingw-x86; do
    (cd "build/$preset" && cpack -G ZIP >"../$preset.cpack.log" 2>&1) ||
        { cat "build/$preset.cpack.log"; exit 1; }
done
cd build/packages
sha256sum KZviVIVaru-*.zip
