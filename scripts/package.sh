#!/bin/bash
# Makes the release zips in build/packages/ from the commit checked out,
# signed when a key is given; docs/releasing.md says what they hold, how they
# come out the same for everyone, and the signing settings.
#
#   package.sh
#
# KZ_SIGN_ATTACH=DIR: for each DIR/SET/KZviVIVaru.pem (a signature taken from
# a release), both zips again with that signature attached to the exe in
# place of signing it, as DIR/SET/<zip name>: how scripts/verify-release.sh
# rebuilds a signed release.
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
attach=${KZ_SIGN_ATTACH:-}
[ -z "$signing" ] || [ -z "$attach" ] || die "KZ_SIGN_ATTACH and a signing key are both set; sign, or attach signatures, not both"
[ -z "$attach" ] || [ -d "$attach" ] || die "KZ_SIGN_ATTACH names no folder: $attach"
if [ -n "$signing$attach" ]; then
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
# FOLDER ZIP: FOLDER's exe checked for the oldest Windows it claims, the
# build record and SHA256SUMS added, and all of it zipped.
pack() {
    local folder=$1
    tests/pe/check-oldest-windows.sh "$folder/KZviVIVaru.exe" "$arch" "$root" >"$out/$arch.pe.log" ||
        { cat "$out/$arch.pe.log"; die "the $arch exe would not start on the oldest Windows it claims; no release made"; }
    cp "$out/$arch.buildinfo" "$folder/BUILDINFO"
    (cd "$folder" && sha256sum -- *) >"$out/SHA256SUMS" && mv "$out/SHA256SUMS" "$folder/"
    /usr/bin/python3 -I scripts/release-zip.py "$2" "$epoch" "$folder" ||
        die "the $arch zip could not be written; no release made"
}
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
    scripts/buildinfo.sh "$arch" "$name" "$commit" "$epoch" >"$out/$arch.buildinfo" ||
        die "the build record of the $arch zip could not be written; no release made"
    for signature in ${attach:+"$attach"/*/KZviVIVaru.pem}; do
        [ -f "$signature" ] || continue  # a pattern that found nothing
        copy=$out/$arch-attached
        rm -rf "$copy" && cp -r "$stage" "$copy" && rm "$copy/KZviVIVaru.exe"
        # osslsigncode checks the signature against the system's CAs as it
        # attaches it, and its exit status says how that went: a verdict for
        # the verifier to reach, not the build. The exe it writes is what counts.
        osslsigncode attach-signature -sigin "$signature" -in "$stage/KZviVIVaru.exe" \
            -out "$copy/KZviVIVaru.exe" >"$out/attach.log" 2>&1 || true
        if [ -f "$copy/KZviVIVaru.exe" ]; then
            pack "$copy" "${signature%/*}/$name.zip"
        else
            echo "package: the signature $signature does not attach to the $arch exe"
        fi
    done
    exe=$stage/KZviVIVaru.exe
    if [ -n "$signing" ]; then
        scripts/sign-exe.sh "$exe" "$exe.signed" || die "the $arch exe is not signed; no release made"
        mv "$exe.signed" "$exe"
    fi
    pack "$stage" "$out/$name.zip"
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
