#!/bin/bash
# Makes the release zips in build/packages/ from the commit checked out, in
# a clean Debian root under bubblewrap (release/root.sh), signed when a key
# is given; docs/releasing.md says what they hold, why they come out the
# same for everyone, and the signing settings.
#
#   package.sh
#
# KZ_RELEASE_RECORD=FILE: build in the root a record names (an earlier
# release's BUILDINFO) instead of the one the apt source gives today.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
die() { echo "package: $*" >&2; exit 1; }

# No zip of an earlier run may pass for this one, whole or in part.
rm -f build/packages/KZviVIVaru-*.zip
finished=
work=$(mktemp -d)
trap '[ -n "$finished" ] || rm -f "$root"/build/packages/KZviVIVaru-*.zip; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP

signing=${KZ_SIGN_PFX:-}${KZ_SIGN_PKCS11_MODULE:-}
scripts/deps.sh "$([ -n "$signing" ] && echo verify || echo build)"  # signing takes osslsigncode and openssl
commit=$(git rev-parse --verify -q 'HEAD^{commit}' 2>/dev/null) || die "not a git checkout with a commit"
changed=$(git status --porcelain --untracked-files=no) || die "git cannot read this checkout's status"
[ -z "$changed" ] || die "uncommitted changes to tracked files, which no commit holds; commit or stash them first:
$(sed 's/^.. /    /' <<<"$changed")"
# The commit's time for every date the build and the zips keep, whatever the
# caller's environment says.
epoch=$(git log -1 --format=%ct "$commit")
if [ -n "$signing" ]; then
    # Before the build: a wrong password should not wait for it, and a wrong
    # PIN costs the token one retry, not one for each signature.
    release/sign-exe.sh check || die "nothing signed, no release made"
fi

record=${KZ_RELEASE_RECORD:-$work/record}
[ -n "${KZ_RELEASE_RECORD:-}" ] || release/root.sh resolve >"$record" || die "no build root, no release made"
tree=$(release/root.sh make "$record") || die "no build root, no release made"
mkdir "$work/signatures"
build() {  # the release of the commit in the root; its output in build/release.log
    rm -rf "$work/out" && mkdir -p "$work/out" build
    if ! git archive --format=tar "$commit" |
        release/root.sh build "$tree" "$work/out" "$work/signatures" "$commit" "$epoch" >build/release.log 2>&1; then
        tail -n 40 build/release.log
        die "the release build failed (its output: build/release.log); no release made"
    fi
}
build
if [ -n "$signing" ]; then
    for arch in x64 x86; do
        mkdir "$work/signatures/$arch"
        release/sign-exe.sh "$work/out/exe/$arch.exe" "$work/$arch.exe" || die "the $arch exe is not signed; no release made"
        osslsigncode extract-signature -pem -in "$work/$arch.exe" -out "$work/signatures/$arch/KZviVIVaru.pem" >/dev/null ||
            die "the $arch exe's signature cannot be taken off it; no release made"
    done
    build  # again, to attach each signature in the root as the verifier does
fi
zips=()
for arch in x64 x86; do
    set=unsigned
    [ -z "$signing" ] || set=$arch
    zips+=("$work/out/$set/$(cat "$work/out/exe/$arch.name")")
    [ -f "${zips[-1]}" ] || die "the release build made no ${zips[-1]##*/}; no release made"
done
mkdir -p build/packages build/release
cp "$work/out/exe/"*.exe build/release/  # the unsigned exes, as built
mv "${zips[@]}" build/packages/
finished=1
[ -z "$signing" ] || echo "both exes signed with the key of $signing, time-stamped by $KZ_SIGN_TIMESTAMP_URL" \
    "${KZ_SIGN_DUAL:+(SHA-256) and ${KZ_SIGN_LEGACY_TIMESTAMP_URL:-} (SHA-1)}"
echo "built in the root $(basename "$tree") (its packages in each zip's BUILDINFO)"
echo "commit $commit"
(cd build/packages && sha256sum KZviVIVaru-*.zip)
