#!/bin/bash
# The release and its verification, in a throwaway git repository of the
# sources and with a throwaway certificate:
#   - package.sh refuses, before building, a tree with an uncommitted change
#     (naming the file) and a wrong password, and leaves no zip behind, not
#     even an earlier run's;
#   - a signed release, and altered copies of its zip (hostile-zips.py), go
#     through one run of verify-release.sh on a verifier's machine
#     (verifier-machine.sh: no test-only packages, nothing installable): the
#     real zips verify, signed by this certificate, and each altered copy
#     fails with its own cause;
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

# shellcheck source=../repro/test-repository.sh
. "$source/tests/repro/test-repository.sh"
src=$work/src
test_repository "$source" "$src" || { echo "FAIL: cannot make the test repository"; exit 1; }
sha=$(git -C "$src" rev-parse HEAD)
"$source/tests/release/make-test-cert.sh" "$work/cert" || { echo "FAIL: cannot make the test certificate"; exit 1; }
password=$(head -n1 "$work/cert/password")
export KZ_SIGN_PFX=$work/cert/test.pfx
packages=$src/build/packages
zips() { find "$packages" -name 'KZviVIVaru-*.zip' 2>/dev/null | sort; }
outputs=

refused() {  # WHAT EXPECTED: package.sh stops, saying EXPECTED, and leaves no zip
    mkdir -p "$packages"
    touch "$packages/KZviVIVaru-1.0-x64-64bit-Windows-only.zip"  # as an earlier run left it
    local output status
    output=$(cd "$src" && scripts/package.sh 2>&1)
    status=$?
    outputs+=$output
    if [ $status -ne 0 ] && grep -qF -- "$2" <<<"$output"; then
        ok "$1 stops the release: $(grep -F -- "$2" <<<"$output" | head -n1)"
    else
        fail "$1 gave status $status and: $output"
    fi
    [ -z "$(zips)" ] || fail "zips left after $1: $(zips)"
}
echo "changed" >>"$src/docs/README-CHS.txt"
KZ_SIGN_PASSWORD_FILE=$work/cert/password refused "an uncommitted change" "docs/README-CHS.txt"
git -C "$src" checkout -q -- docs/README-CHS.txt
KZ_SIGN_PASSWORD_FILE=$work/cert/wrong-password refused "a wrong password" "does not open"

output=$(cd "$src" && KZ_SIGN_PASSWORD_FILE=$work/cert/password scripts/package.sh 2>&1)
status=$?
outputs+=$output
[ $status -eq 0 ] && ok "signed release made" || fail "signed release failed ($status): $output"
mapfile -t real < <(zips)
[ ${#real[@]} -eq 2 ] || fail "expected two zips, found: ${real[*]}"

mkdir "$work/hostile"
mapfile -t table < <(/usr/bin/python3 -I "$source/tests/release/hostile-zips.py" "${real[0]}" "$work/hostile" \
    "$(git -C "$src" log -1 --format=%ct)" "$source")
[ ${#table[@]} -gt 0 ] || fail "no altered zips made"
report=$(cd "$src" && KZ_VERIFY_SIGNED=1 KZ_VERIFY_CAFILE=$work/cert/cert.pem \
    "$source/tests/release/verifier-machine.sh" scripts/verify-release.sh "${real[@]}" "${table[@]%%$'\t'*}" 2>&1)
echo "$report" | sed 's/^/    /'
for zip in "${real[@]}"; do
    grep -qF "verified: $(basename "$zip") is the release of commit $sha (signed)" <<<"$report" &&
        ok "$(basename "$zip") verified" || fail "$(basename "$zip") not verified"
done
grep -qF "signer: /CN=KZviVIVaru test vendor" <<<"$report" || fail "verify-release does not name the signer"
for row in "${table[@]}"; do
    name=$(basename "${row%%$'\t'*}")
    cause=${row#*$'\t'}
    if grep -qF "FAIL: $name: $cause" <<<"$report" && grep -qF "NOT verified: $name:" <<<"$report"; then
        ok "$name refused: $cause"
    else
        fail "$name: verify-release does not refuse it with [$cause]"
    fi
done
! grep -qE '^(Installing|deps: )' <<<"$report" || fail "verifying tried to install something"

if grep -qF -- "$password" <<<"$outputs$report" || grep -rqF -- "$password" "$src/build"; then
    fail "the password shows up in the release's output or its build folder"
else
    ok "the password is in no output or log"
fi

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "release and verification: passed"
