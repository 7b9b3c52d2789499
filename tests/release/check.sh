#!/bin/bash
# The release and its verification, in a throwaway git repository of the
# sources, with throwaway keys (make-test-cert.sh, make-test-pki.sh) and a
# time-stamp authority of its own on 127.0.0.1 (tsa.py):
#   - package.sh refuses an uncommitted change (naming the file), a wrong
#     password and a missing time-stamp authority before building, and an
#     unreachable authority while signing, and leaves no zip behind, not even
#     an earlier run's;
#   - a release signed with the key on a SoftHSM2 token, in dual mode (SHA-1
#     with a legacy stamp, SHA-256 nested with an RFC 3161 stamp), and altered
#     copies of its zip (hostile-zips.py), go through one run of
#     verify-release.sh on a verifier's machine (verifier-machine.sh: no
#     test-only packages, nothing installable), with the signer pinned: the
#     real zips verify, both signatures and both stamps of each exe, and each
#     altered copy fails with its own cause;
#   - neither the password nor the PIN shows up in any output or log.
#
#   check.sh SOURCE_DIR
set -uo pipefail
source=${1:?usage: check.sh SOURCE_DIR}
work=$(mktemp -d)
tsa_pid=
trap '[ -z "$tsa_pid" ] || kill "$tsa_pid"; rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

# shellcheck source=../repro/test-repository.sh
. "$source/tests/repro/test-repository.sh"
src=$work/src
test_repository "$source" "$src" || { echo "FAIL: cannot make the test repository"; exit 1; }
sha=$(git -C "$src" rev-parse HEAD)
keys=$work/keys
{ "$source/tests/release/make-test-cert.sh" "$keys" && "$source/tests/release/make-test-pki.sh" "$keys"; } ||
    { echo "FAIL: cannot make the test keys"; exit 1; }
secrets=("$(head -n1 "$keys/password")" "$(head -n1 "$keys/token/pin")")
/usr/bin/python3 -I "$source/tests/release/tsa.py" "$keys/tsa" &
tsa_pid=$!
for _ in $(seq 50); do [ -s "$keys/tsa/port" ] && break; sleep 0.1; done
[ -s "$keys/tsa/port" ] || { echo "FAIL: the time-stamp authority did not start"; exit 1; }
tsa=http://127.0.0.1:$(cat "$keys/tsa/port")
# The token's key, both authorities, dual mode: how a vendor signs for XP.
export SOFTHSM2_CONF=$keys/token/softhsm2.conf KZ_SIGN_PASSWORD_FILE=$keys/token/pin KZ_SIGN_DUAL=1
export KZ_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so KZ_SIGN_KEY="pkcs11:token=kz;object=vendor;type=private"
export KZ_SIGN_CERT=$keys/cert.pem KZ_SIGN_TIMESTAMP_URL=$tsa/rfc3161 KZ_SIGN_LEGACY_TIMESTAMP_URL=$tsa/legacy
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
refused "an uncommitted change" "docs/README-CHS.txt"
git -C "$src" checkout -q -- docs/README-CHS.txt
KZ_SIGN_PKCS11_MODULE='' KZ_SIGN_PFX=$keys/test.pfx KZ_SIGN_PASSWORD_FILE=$keys/wrong-password \
    refused "a wrong password" "does not open"
KZ_SIGN_TIMESTAMP_URL='' refused "no time-stamp authority" "KZ_SIGN_TIMESTAMP_URL must name"
KZ_SIGN_TIMESTAMP_URL=http://127.0.0.1:1/ refused "an unreachable time-stamp authority" "Connection refused"

output=$(cd "$src" && scripts/package.sh 2>&1)
status=$?
outputs+=$output
[ $status -eq 0 ] && ok "signed release made" || fail "signed release failed ($status): $output"
mapfile -t real < <(zips)
[ ${#real[@]} -eq 2 ] || fail "expected two zips, found: ${real[*]}"

# The zips as a technician has them, in a folder of their own: the verifier
# is run from the folder above, with paths relative to it.
mkdir "$work/given" "$work/hostile"
cp "${real[@]}" "$work/given/"
real=("${real[@]/#*\//given/}")
/usr/bin/python3 -I "$source/tests/release/hostile-zips.py" "$work/${real[0]}" "$work/hostile" \
    "$(git -C "$src" log -1 --format=%ct)" "$source" "$keys" >"$work/hostile.table" ||
    fail "the altered zips could not all be made"
mapfile -t table < <(sed "s|^$work/||" "$work/hostile.table")
# The 32-bit zip under the 64-bit one's name.
mkdir "$work/hostile/renamed"
cp "$work/${real[1]}" "$work/hostile/renamed/$(basename "${real[0]}")"
table+=("hostile/renamed/$(basename "${real[0]}")"$'\t'"zip: its exe is the one of the release zip $(basename "${real[1]}")")

# The verifier is a later commit's, whose zip writer lays zips out otherwise:
# the release is rebuilt with its own commit's scripts all the same.
sed -i 's/^VERSION = 20 /VERSION = 45 /' "$src/scripts/release-zip.py"
git -C "$src" -c user.name=test -c user.email=test@localhost commit -qam "a later zip writer" ||
    fail "the zip writer's version could not be changed"
# A commit whose package.sh says which account runs it and whether it can
# reach a terminal, and leaves a process behind that would leave a mark
# later; where told to, it takes its time, to be interrupted.
probe=$(mktemp -u /tmp/kz-probe.XXXXXX)
git -C "$src" checkout -q -b probe "$sha"
cat >"$src/scripts/package.sh" <<EOF
#!/bin/sh
(sleep 3; touch $probe.mark) &
if (: </dev/tty) 2>/dev/null; then terminal=a; else terminal=no; fi
echo "the commit's package.sh ran as uid \$(id -u), with \$terminal terminal"
touch $probe.started
[ ! -e $probe.slow ] || sleep 60
exit 1
EOF
git -C "$src" -c user.name=test -c user.email=test@localhost commit -qam "a probe"
git -C "$src" checkout -q -

fingerprint=$(openssl x509 -in "$keys/cert.pem" -noout -fingerprint -sha256 | cut -d= -f2)
report=$(cd "$work" && KZ_VERIFY_SIGNED=1 KZ_VERIFY_SIGNER=$fingerprint KZ_VERIFY_CAFILE=keys/trusted.pem \
    KZ_VERIFY_SIGNATURES="SHA1 time-stamped, SHA256 time-stamped" KZ_VERIFY_TSA_CAFILE=keys/tsa/tsa-root.pem \
    "$source/tests/release/verifier-machine.sh" "$src/scripts/verify-release.sh" "${real[@]}" "${table[@]%%$'\t'*}" "$sha" 2>&1)
echo "$report" | sed 's/^/    /'
# The verdict names each signature's digest and stamp, and the signer.
for zip in "${real[@]}"; do
    if grep -qxF "verified: $zip is the release of commit $sha (signed: SHA1 time-stamped, SHA256 time-stamped, by ${fingerprint//:/})" <<<"$report"; then
        ok "$(basename "$zip") verified from a later commit: SHA-1 and SHA-256 signatures by the token's key, both time stamps verified"
    else
        fail "$(basename "$zip") not verified with both signatures and stamps"
    fi
done
# Run on a terminal of its own (script), then interrupted while it builds.
said=$(cd "$work" && script -qec "$src/scripts/verify-release.sh ${real[0]} probe" /dev/null 2>&1)
sleep 4
if [ "$(id -u)" -ne 0 ]; then
    ok "not root, so the build's account is not tried: $(grep -o 'ran as uid .*' <<<"$said")"
elif ! grep -q "package.sh ran as uid [1-9][0-9]*, with no terminal" <<<"$said"; then
    fail "the probe commit's package.sh ran as root or on the caller's terminal: $said"
elif [ -e "$probe.mark" ]; then
    fail "a process the probe commit's package.sh started outlived the build"
else
    ok "run by root, the commit's scripts run as an account of their own, with no terminal, and nothing they start outlives them: $(grep -o 'ran as uid .*' <<<"$said")"
fi
touch "$probe.slow"
mkdir -m 711 "$probe.tmp"  # the verifier's own folder, which a KILL leaves behind
for stop in INT TERM HUP KILL; do
    rm -f "$probe.mark" "$probe.started"
    (cd "$work" && TMPDIR=$probe.tmp exec "$src/scripts/verify-release.sh" "${real[0]}" probe) >"$work/probe.log" 2>&1 &
    verifier=$!
    for _ in $(seq 600); do [ -e "$probe.started" ] && break; sleep 0.1; done
    kill -"$stop" "$verifier"
    wait "$verifier"
    status=$?
    sleep 4
    if [ -e "$probe.mark" ] || [ $status -ne "$([ $stop = KILL ] && echo 137 || echo 130)" ]; then
        fail "stopped by $stop while building (status $status), the verifier left the build running or did not say so: $(cat "$work/probe.log")"
    else
        ok "stopped by $stop while building, the verifier ends the build with it (status $status)"
    fi
done
rm -rf "$probe".*
refused_with() {  # ZIP CAUSE: a FAIL line of ZIP's starts with CAUSE, where ? is any one character
    local line
    while IFS= read -r line; do
        # shellcheck disable=SC2053  # the cause is a pattern
        [[ $line == "FAIL: $1: "$2* ]] && return 0
    done <<<"$report"
    return 1
}
for row in "${table[@]}"; do
    zip=${row%%$'\t'*}
    cause=${row#*$'\t'}
    altered=${zip#hostile/}
    if refused_with "$zip" "$cause" && grep -qF "NOT verified: $zip:" <<<"$report"; then
        ok "${altered%%/*} refused: $cause"
    else
        fail "${altered%%/*}: verify-release does not refuse it with [$cause]"
    fi
done
! grep -qE '^(Installing|deps: )' <<<"$report" || fail "verifying tried to install something"

leaked=0
for secret in "${secrets[@]}"; do
    if grep -qF -- "$secret" <<<"$outputs$report" || grep -rqF -- "$secret" "$src/build"; then
        fail "the password or PIN $secret shows up in the release's output or its build folder"
        leaked=1
    fi
done
[ $leaked -eq 1 ] || ok "neither password nor PIN in any output or log"

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "release and verification: passed"
