#!/bin/bash
# Makes the release zips build/packages/KZviVIVaru-1.0-x86-any-Windows-XP-to-11.zip
# and KZviVIVaru-1.0-x64-64bit-Windows-only.zip from the commit checked out.
# Each holds the exe, the operator guide README-CHS.txt, the build record
# BUILDINFO (scripts/buildinfo.sh) and SHA256SUMS.
#
# - The commit alone: a tree with uncommitted changes to tracked files is
#   refused, since the zips would name a commit whose code they do not hold.
# - Built in folders of its own (build/release/), configured anew each time,
#   so that no setting of a developer's build reaches a release.
# - Reproducible: every date in the zips is the commit's time, and they carry
#   no owner, permissions or compressor output (scripts/release-zip.py), so
#   the same commit built with the package versions BUILDINFO names gives the
#   same bytes, whoever builds it and with whatever umask.
# - Each exe it ships passes the oldest-Windows checks (tests/pe).
# - Signed when KZ_SIGN_PFX names the vendor's PKCS#12 file, or
#   KZ_SIGN_PKCS11_MODULE the module of the token that holds its key (see
#   scripts/sign-exe.sh for the rest: certificate, password or PIN, time-stamp
#   authorities, dual signatures): both exes are signed before they are hashed
#   and zipped.
# - Both zips or none: they are moved into place at the very end, and a
#   release that fails or is interrupted leaves no zip behind.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export LC_ALL=C  # one sort order for SHA256SUMS, whoever builds
die() { echo "package: $*" >&2; exit 1; }

# No zip of an earlier run may pass for this one, whole or in part.
rm -f build/packages/KZviVIVaru-*.zip
finished=
trap '[ -n "$finished" ] || rm -f "$root"/build/packages/KZviVIVaru-*.zip "$root"/build/release/*.zip' EXIT
trap 'exit 1' INT TERM HUP

signing=${KZ_SIGN_PFX:-}${KZ_SIGN_PKCS11_MODULE:-}
if [ -n "$signing" ]; then
    scripts/deps.sh verify  # signing takes the verifier's tools, osslsigncode and openssl
else
    scripts/deps.sh build
fi

commit=$(git rev-parse --verify -q 'HEAD^{commit}' 2>/dev/null) ||
    die "not a git checkout with a commit; a release is made from a commit"
changed=$(git status --porcelain --untracked-files=no) || die "git cannot read this checkout's status"
[ -z "$changed" ] || die "uncommitted changes to tracked files, which no commit holds; commit or stash them first:
$(sed 's/^.. /    /' <<<"$changed")"
# The commit's time for every date the build and the zips keep, whatever the
# caller's environment says: BUILDINFO records what the build saw.
epoch=$(git log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH=$epoch

if [ -n "$signing" ]; then
    # Before the build: a wrong password should not wait for it, and a wrong
    # PIN costs the token one retry, not one for each signature.
    scripts/sign-exe.sh check || die "nothing signed, no release made"
fi

out=build/release
rm -rf "$out"
mkdir -p "$out" build/packages
zips=()
for arch in x64 x86; do
    dir=$out/$arch
    stage=$root/$out/$arch-zip
    log=$out/$arch.log
    echo "== release $arch"
    if ! { cmake -S . -B "$dir" -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF &&
        cmake --build "$dir" -j 2 && cmake --install "$dir" --prefix "$stage"; } >"$log" 2>&1; then
        tail -n 40 "$log"
        die "the $arch build failed (full output in $log); no release made"
    fi
    name=$(cat "$dir/release-name")
    exe=$stage/KZviVIVaru.exe
    if [ -n "$signing" ]; then
        scripts/sign-exe.sh "$exe" "$exe.signed" || die "the $arch exe is not signed; no release made"
        mv "$exe.signed" "$exe"
    fi
    tests/pe/check-oldest-windows.sh "$exe" "$arch" "$root" >"$out/$arch.pe.log" ||
        { cat "$out/$arch.pe.log"; die "the $arch exe would not start on the oldest Windows it claims; no release made"; }
    scripts/buildinfo.sh "$arch" "$name" "$commit" "$epoch" >"$stage/BUILDINFO" ||
        die "the build record of the $arch zip could not be written; no release made"
    (cd "$stage" && sha256sum -- *) >"$out/SHA256SUMS" && mv "$out/SHA256SUMS" "$stage/"
    /usr/bin/python3 -I scripts/release-zip.py write "$out/$name.zip" "$epoch" "$stage" ||
        die "the $arch zip could not be written; no release made"
    zips+=("$out/$name.zip")
done

mv "${zips[@]}" build/packages/
finished=1
if [ -n "$signing" ]; then
    stamps="time-stamped by $KZ_SIGN_TIMESTAMP_URL"
    [ "$KZ_SIGN_TIMESTAMP_URL" != none ] || stamps="not time-stamped"
    if [ "${KZ_SIGN_DUAL:-}" = 1 ]; then
        legacy="time-stamped by $KZ_SIGN_LEGACY_TIMESTAMP_URL"
        [ "$KZ_SIGN_LEGACY_TIMESTAMP_URL" != none ] || legacy="not time-stamped"
        stamps="SHA-1 $legacy, SHA-256 $stamps"
    fi
    echo "both exes signed with the key of $signing, $stamps"
fi
echo "commit $commit"
(cd build/packages && sha256sum KZviVIVaru-*.zip)
