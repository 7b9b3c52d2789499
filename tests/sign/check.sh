#!/bin/bash
# The signed release, in a throwaway git repository of the sources and with a
# throwaway certificate:
#   - a wrong password stops the release with the reason, and no zip is left
#     (not even an earlier run's);
#   - a signed release gives two zips whose exes carry a SHA-256 signature
#     that verifies, whose SHA256SUMS list the signed exes, and whose exes,
#     stripped of their signatures, are byte for byte the ones built from
#     the commit (scripts/verify-release.sh);
#   - the password shows up in no output and no log.
#
#   check.sh SOURCE_DIR
set -uo pipefail
source=${1:?usage: check.sh SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

# shellcheck source=../repro/copy-sources.sh
. "$source/tests/repro/copy-sources.sh"
src=$work/src
copy_sources "$source" "$src"
git -C "$src" init -q && git -C "$src" add -A &&
    git -C "$src" -c user.name=test -c user.email=test@localhost commit -qm "the sources under test" ||
    { echo "FAIL: cannot make the test repository"; exit 1; }
sha=$(git -C "$src" rev-parse HEAD)
"$source/tests/sign/make-test-cert.sh" "$work/cert" || { echo "FAIL: cannot make the test certificate"; exit 1; }
password=$(head -n1 "$work/cert/password")
export KZ_SIGN_PFX=$work/cert/test.pfx KZ_VERIFY_CAFILE=$work/cert/cert.pem
export KZ_CONFIGURE_ARGS=-DBUILD_TESTING=OFF SOURCE_DATE_EPOCH=1700000000
packages=$src/build/packages
zips() { find "$packages" -name 'KZviVIVaru-*.zip' 2>/dev/null | sort; }

mkdir -p "$packages"
touch "$packages/KZviVIVaru-1.0-x64-64bit-Windows-only.zip"  # as an earlier run left it
output=$(cd "$src" && KZ_SIGN_PASSWORD_FILE=$work/cert/wrong-password scripts/package.sh 2>&1)
status=$?
if [ $status -ne 0 ] && grep -q "does not open" <<<"$output"; then
    ok "a wrong password stops the release: $(grep -m1 'does not open' <<<"$output")"
else
    fail "a wrong password gave status $status and: $output"
fi
[ -z "$(zips)" ] && ok "no zip left after the refused release" || fail "zips left: $(zips)"

output=$(cd "$src" && KZ_SIGN_PASSWORD_FILE=$work/cert/password scripts/package.sh 2>&1)
status=$?
[ $status -eq 0 ] && ok "signed release made" || fail "signed release failed ($status): $output"
[ "$(zips | wc -l)" -eq 2 ] || fail "expected two zips, found: $(zips)"
for zip in $(zips); do
    report=$("$src/scripts/verify-release.sh" "$zip" 2>&1)
    status=$?
    echo "$report" | sed 's/^/    /'
    # Its exit code covers the sums and the signature's validity; what it
    # names must be this certificate, SHA-256 and this commit.
    for expected in "signer: /CN=KZviVIVaru test vendor" "digest: SHA256" "identical to the one built from $sha"; do
        grep -qF -- "$expected" <<<"$report" || fail "$(basename "$zip"): verify-release does not say [$expected]"
    done
    [ $status -eq 0 ] || fail "$(basename "$zip"): verify-release ended with $status"
done

if grep -qF -- "$password" <<<"$output" || grep -qF -- "$password" "$src/build"/*.log 2>/dev/null; then
    fail "the password shows up in the release's output or logs"
else
    ok "the password is in no output or log"
fi

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "signed release: passed"
