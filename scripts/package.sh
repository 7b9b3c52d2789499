#!/bin/bash
# Makes the release packages build/packages/KZviVIVaru-1.0-x86-any-Windows-XP-to-11.zip
# and KZviVIVaru-1.0-x64-64bit-Windows-only.zip (exe, operator guide
# README-CHS.txt, SHA256SUMS).
# Reproducible: every time stored in them is SOURCE_DATE_EPOCH, by default the
# commit's time, so the same commit gives the same bytes wherever it is built.
#
# Signed when KZ_SIGN_PFX names the vendor's PKCS#12 certificate and
# KZ_SIGN_PASSWORD_FILE the file with its password (see scripts/sign-exe.sh
# for the optional KZ_SIGN_NAME, KZ_SIGN_URL and KZ_SIGN_TIMESTAMP_URL): both
# exes are signed before they are hashed and zipped. Without KZ_SIGN_PFX the
# release is unsigned. Either way, a release that fails part-way leaves no zip.
set -euo pipefail
cd "$(dirname "$0")/.."

# No zip of an earlier run may pass for this one, whole or in part.
rm -f build/packages/KZviVIVaru-*.zip

scripts/deps.sh
if [ -n "${KZ_SIGN_PFX:-}" ]; then
    # Before the build: a wrong password should not wait for it.
    scripts/sign-exe.sh check || { echo "package: nothing signed, no release made" >&2; exit 1; }
fi
scripts/build.sh mingw-x64 mingw-x86

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)  # else 1980-01-01
fi
export SOURCE_DATE_EPOCH
export TZ=UTC  # zip entries keep local time: one zone for every build

for preset in mingw-x64 mingw-x86; do
    if ! (cd "build/$preset" && cpack -G ZIP >"../$preset.cpack.log" 2>&1); then
        rm -f build/packages/KZviVIVaru-*.zip
        cat "build/$preset.cpack.log"
        echo "package: $preset failed; no release made" >&2
        exit 1
    fi
done
cd build/packages
if [ -n "${KZ_SIGN_PFX:-}" ]; then
    echo "both exes signed with $KZ_SIGN_PFX"
fi
sha256sum KZviVIVaru-*.zip
