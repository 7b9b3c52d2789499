#!/bin/bash
# Checks a release zip against the sources it claims to come from:
#
#   verify-release.sh ZIP [COMMIT]     (COMMIT: a tag or hash; default HEAD)
#
# 1. every file in the zip against the zip's SHA256SUMS;
# 2. the exe's Authenticode signature, if any: signer, digest, time stamp,
#    and whether it verifies (against the CA certificates in KZ_VERIFY_CAFILE,
#    by default the system's);
# 3. the exe with its signature removed against the exe built here, in a
#    clean folder, from COMMIT: they must be identical byte for byte, which
#    shows that the signed exe holds exactly that commit's code.
# Ends with 0 only when all three hold.
set -uo pipefail
usage="usage: verify-release.sh ZIP [COMMIT]"
zip=$(readlink -f "${1:?$usage}")
commit=${2:-HEAD}
cd "$(dirname "$0")/.."
repo=$PWD

scripts/deps.sh || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

echo "== $zip"
mkdir "$work/zip"
unzip -q "$zip" -d "$work/zip" || { echo "FAIL: cannot unpack $zip"; exit 1; }
if (cd "$work/zip" && sha256sum --quiet -c SHA256SUMS); then
    echo "SHA256SUMS: every file matches ($(grep -c . "$work/zip/SHA256SUMS") listed)"
else
    fail "the files do not match the zip's SHA256SUMS"
fi

exe=$work/zip/KZviVIVaru.exe
unsigned=$work/unsigned.exe
if osslsigncode extract-signature -in "$exe" -out "$work/signature" >/dev/null 2>&1; then
    verify=(osslsigncode verify -in "$exe")
    [ -z "${KZ_VERIFY_CAFILE:-}" ] || verify+=(-CAfile "$KZ_VERIFY_CAFILE")
    report=$("${verify[@]}" 2>&1)
    verified=$?
    echo "signature:"
    sed -nE '0,/^[[:space:]]*Subject: */s//  signer: /p' <<<"$report"
    sed -nE '0,/^Message digest algorithm *: */s//  digest: /p' <<<"$report"
    if grep -q 'Timestamp time:' <<<"$report"; then
        sed -nE '0,/^[[:space:]]*Timestamp time: */s//  timestamp: /p' <<<"$report"
    else
        echo "  timestamp: none"
    fi
    if [ $verified -eq 0 ] && grep -q 'Signature verification: ok' <<<"$report"; then
        echo "  verifies: yes"
    else
        fail "the signature does not verify:"
        grep -iE 'error|fail' <<<"$report" | sed 's/^/  /' | head -n 5
    fi
    osslsigncode remove-signature -in "$exe" -out "$unsigned" >/dev/null || fail "cannot remove the signature"
else
    echo "signature: none (an unsigned release)"
    cp "$exe" "$unsigned"
fi

# The commit's own tree, built in a folder of its own: not the working tree,
# whose uncommitted changes are no part of any commit.
sha=$(git -C "$repo" rev-parse --verify "$commit^{commit}" 2>/dev/null) || { echo "FAIL: no commit $commit"; exit 1; }
case $(x86_64-w64-mingw32-objdump -f "$unsigned" 2>/dev/null) in
*pei-x86-64*) preset=mingw-x64 ;;
*pei-i386*) preset=mingw-x86 ;;
*) echo "FAIL: KZviVIVaru.exe in the zip is not a Windows exe"; exit 1 ;;
esac
mkdir "$work/src"
git -C "$repo" archive "$sha" | tar -x -C "$work/src"
echo "building commit $sha ($(git -C "$repo" describe --always --tags "$sha")), $preset"
(cd "$work/src" && KZ_CONFIGURE_ARGS=-DBUILD_TESTING=OFF scripts/build.sh "$preset" >/dev/null) ||
    { cat "$work/src/build/$preset.log" 2>/dev/null | tail -n 20; echo "FAIL: the build of $sha failed"; exit 1; }
if cmp -s "$unsigned" "$work/src/build/$preset/KZviVIVaru.exe"; then
    echo "exe without its signature: identical to the one built from $sha"
else
    fail "the exe without its signature differs from the one built from $sha"
fi

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "verified: $(basename "$zip") holds the code of commit $sha"
