#!/bin/bash
# The release and its verification, in a throwaway git repository of the
# sources, with the tests' PKI and time-stamp authority on 127.0.0.1
# (pki.py):
#   - package.sh refuses an uncommitted change, a wrong password and a
#     missing authority before building, an unreachable one while signing,
#     and leaves no zip behind, not even an earlier run's;
#   - a release signed through a SoftHSM2 token in dual mode verifies, from
#     a later commit, as a user who is not root on a machine without the
#     MinGW toolchain, with the signer and the form pinned; removing its
#     signatures gives the commit's exe; altered copies (hostile-zips.py)
#     fail, each with its cause;
#   - a probe commit's build runs as an unprivileged uid, with no terminal,
#     network or home, in a root of exactly the versions BUILDINFO names,
#     and cannot speak as the verifier; INT, TERM or HUP, once or thrice, at
#     any moment, end the verifier with "interrupted" and leave nothing;
#   - neither the password nor the PIN shows up in any output or log.
#
#   check.sh SOURCE_DIR
set -uo pipefail
source=${1:?usage: check.sh SOURCE_DIR}
work=$(mktemp -d)
tsa_pid=
trap '[ -z "$tsa_pid" ] || kill "$tsa_pid"; rm -rf "$work"' EXIT
chmod 755 "$work"  # the verifier's account reads the zips and the repository in here

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }
expect() {  # WHAT TEXT PATTERN...: TEXT has a line matching each grep -E PATTERN
    local what=$1 text=$2 pattern
    shift 2
    for pattern; do grep -qE -- "$pattern" <<<"$text" || { fail "$what: no line [$pattern] in: $text"; return; }; done
    ok "$what"
}

# shellcheck source=../repro/test-repository.sh
. "$source/tests/repro/test-repository.sh"
src=$work/src
test_repository "$source" "$src" || { echo "FAIL: cannot make the test repository"; exit 1; }
sha=$(git -C "$src" rev-parse HEAD)
keys=$work/keys
/usr/bin/python3 -I "$source/tests/release/pki.py" make "$keys" || { echo "FAIL: cannot make the test keys"; exit 1; }
chmod 700 "$keys"
secrets=("$(head -n1 "$keys/password")" "$(head -n1 "$keys/token/pin")")
/usr/bin/python3 -I "$source/tests/release/pki.py" serve "$keys" &
tsa_pid=$!
for _ in $(seq 50); do [ -s "$keys/port" ] && break; sleep 0.1; done
[ -s "$keys/port" ] || { echo "FAIL: the time-stamp authority did not start"; exit 1; }
tsa=http://127.0.0.1:$(cat "$keys/port")
# The token's key, both authorities, dual mode: how a vendor signs for XP.
cat "$keys/vendor.pem" "$keys/ca.pem" >"$keys/chain.pem"
export SOFTHSM2_CONF=$keys/token/softhsm2.conf KZ_SIGN_PASSWORD_FILE=$keys/token/pin KZ_SIGN_DUAL=1
export KZ_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so KZ_SIGN_KEY="pkcs11:token=kz;object=vendor;type=private"
export KZ_SIGN_CERT=$keys/chain.pem KZ_SIGN_TIMESTAMP_URL=$tsa/rfc3161 KZ_SIGN_LEGACY_TIMESTAMP_URL=$tsa/legacy
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
for zip in "${real[@]}"; do
    arch=$(grep -o 'x64\|x86' <<<"${zip##*/}" | head -n1)
    rm -f "$work/unsigned.exe"
    if unzip -p "$zip" KZviVIVaru.exe >"$work/signed.exe" && osslsigncode remove-signature -in "$work/signed.exe" \
        -out "$work/unsigned.exe" >/dev/null && cmp -s "$work/unsigned.exe" "$src/build/release/$arch.exe"; then
        ok "${zip##*/}: without its signatures, the exe is the commit's, byte for byte"
    else
        fail "${zip##*/}: without its signatures, the exe is not the commit's"
    fi
done

# The zips as a technician has them, in a folder of their own, with the
# authorities' certificates: the verifier runs from the folder above, with
# paths relative to it.
mkdir -p "$work/given" "$work/hostile" "$work/home" "$work/verifier-tmp"
cp "${real[@]}" "$keys/ca.pem" "$keys/tsa-root.pem" "$work/given/"
touch "$work/home/the-callers-file"
real=("${real[@]/#*\//given/}")
/usr/bin/python3 -I "$source/tests/release/hostile-zips.py" "$work/${real[0]}" "$work/hostile" \
    "$(git -C "$src" log -1 --format=%ct)" "$source" "$keys" >"$work/hostile.table" ||
    fail "the altered zips could not all be made"
mapfile -t table < <(sed "s|^$work/||" "$work/hostile.table")
mkdir "$work/hostile/renamed"  # the 32-bit zip under the 64-bit one's name
cp "$work/${real[1]}" "$work/hostile/renamed/$(basename "${real[0]}")"
table+=("hostile/renamed/$(basename "${real[0]}")"$'\t'"BUILDINFO: differs from the commit's BUILDINFO")

# The verifier is a later commit's, whose build zips otherwise: the release
# is rebuilt with its own commit's scripts.
sed -i 's/zip -q -X -D -0 /zip -q -X -D -1 /' "$src/release/build.sh"
git -C "$src" -c user.name=test -c user.email=test@localhost commit -qam "a later zip writer" ||
    fail "the build's zip options could not be changed"
# Probe commits, whose build says what it sees; the slow one then waits, to be interrupted.
for probe in probe slow-probe; do
    git -C "$src" checkout -q -b "$probe" "$sha"
    cat >"$src/release/build.sh" <<EOF
#!/bin/sh
echo "verified: $probe's forgery"; echo "FAIL: $probe's forgery"
echo "probe: uid \$(id -u), \$( (: </dev/tty) 2>/dev/null && echo a || echo no) terminal"
python3 -c 'import socket; socket.create_connection(("127.0.0.1", $(cat "$keys/port")), 2)' 2>/dev/null && echo "probe: network" || echo "probe: no network"
[ -e "$work/home/the-callers-file" ] && echo "probe: the caller's home" || echo "probe: no home of the caller's"
echo "probe: packages \$(dpkg-query -W -f='package \${Package} \${Version}\n' | sort | sha256sum | cut -c1-64)"
sleep 314159 &
echo "probe: started"
[ $probe = probe ] || sleep 600
exit 1
EOF
    git -C "$src" -c user.name=test -c user.email=test@localhost commit -qam "a $probe"
    git -C "$src" checkout -q -
done

# As an account that is not root, where MinGW's compilers cannot run, in the
# folder above the zips, with its own home and temporary folder, and INT,
# TERM and HUP as a terminal's foreground job has them (a background job
# starts with INT ignored). It execs: call it in a subshell.
verifier() {
    if [ "$(id -u)" -eq 0 ]; then
        chown -R nobody: "$work/home" "$work/verifier-tmp"
        set -- unshare --mount --propagation private sh -c 'for d in /usr/lib/gcc/*-w64-mingw32; do mount -t tmpfs -o ro none "$d"; done
            exec setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"' _ "$@"
    fi
    cd "$work" && HOME=$work/home TMPDIR=$work/verifier-tmp exec env --default-signal=INT,TERM,HUP "$@"
}
fingerprint=$(openssl x509 -in "$keys/vendor.pem" -noout -fingerprint -sha256 | cut -d= -f2)
pins=(KZ_VERIFY_SIGNED=1 "KZ_VERIFY_SIGNER=$fingerprint" KZ_VERIFY_CAFILE=given/ca.pem KZ_VERIFY_TSA_CAFILE=given/tsa-root.pem
    "KZ_VERIFY_SIGNATURES=SHA1 legacy time-stamped, SHA256 RFC 3161 time-stamped")
report=$(verifier env "${pins[@]}" sh -c 'echo "int main() {}" | x86_64-w64-mingw32-g++-posix -x c++ -o /dev/null - 2>/dev/null && echo "MinGW runs"
    echo "as uid $(id -u)"; exec "$0" "$@"' "$src/scripts/verify-release.sh" "${real[@]}" "${table[@]%%$'\t'*}" "$sha" 2>&1)
echo "$report" | sed 's/^/    /'
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: not root, so the verifier runs as $(id -un), and MinGW as this machine has it"
elif grep -q '^MinGW runs' <<<"$report"; then
    fail "the verifier's machine can run MinGW"
fi
for zip in "${real[@]}"; do
    expect "${zip##*/} verified from a later commit by uid $(sed -n 's/^as uid //p' <<<"$report"): SHA-1 and SHA-256 signatures by the token's key, both stamps" \
        "$report" "^verified: $zip is the release of commit $sha \\(signed: SHA1 legacy time-stamped, SHA256 RFC 3161 time-stamped, by ${fingerprint//:/}\\)$"
done
refused_with() {  # ZIP CAUSE: a FAIL line of ZIP's starts with CAUSE, where ? is any one character
    local line
    while IFS= read -r line; do
        # shellcheck disable=SC2053  # the cause is a pattern
        [[ $line == "FAIL: $1: "$2* ]] && return 0
    done <<<"$report"
    return 1
}
for row in "${table[@]}"; do
    zip=${row%%$'\t'*} cause=${row#*$'\t'}
    altered=${zip#hostile/}
    if refused_with "$zip" "$cause" && grep -qF "NOT verified: $zip:" <<<"$report"; then
        ok "${altered%%/*} refused: $cause"
    else
        fail "${altered%%/*}: verify-release does not refuse it with [$cause]"
    fi
done
! grep -qE '^(Installing|deps: )' <<<"$report" || fail "verifying tried to install something"
grep -q '^  diffoscope: ' <<<"$report" && ok "diffoscope explains the differences" || fail "no diffoscope report"

# What the probe commit's build sees, and that nothing it started outlives it.
said=$(verifier script -qec "$src/scripts/verify-release.sh ${real[0]} probe" /dev/null 2>&1)
packages=$(unzip -p "$work/${real[0]}" BUILDINFO | grep '^package ' | sort | sha256sum | cut -c1-64)
expect "the commit's build runs as an unprivileged uid, with no terminal, network or home, in exactly the root BUILDINFO names" \
    "$said" "^  build: probe: uid [1-9][0-9]*, no terminal" "^  build: probe: no network" \
    "^  build: probe: no home of the caller's" "^  build: probe: packages $packages"
! grep -qE '^(verified|NOT verified|FAIL|==).*forgery' <<<"$said" && ok "the build cannot speak as the verifier" ||
    fail "a line of the build's reached the user unprefixed: $(grep -E '^(verified|FAIL).*forgery' <<<"$said")"
sleep 1
! pgrep -x -f 'sleep 314159' >/dev/null || fail "a process the probe commit's build started outlived it"

interrupt() {  # WHEN DELAY SIGNAL...: the verifier, interrupted by each SIGNAL in turn DELAY seconds after WHEN:
    # its shell runs deps.sh (its trap set), its Python runs, or its build has started
    local when=$1 delay=$2 status argv
    shift 2
    verifier "$src/scripts/verify-release.sh" "${real[0]}" slow-probe >"$work/stopped.log" 2>&1 &
    local pid=$!
    for _ in $(seq 6000); do
        case $when in
        shell)  # its own command line, read once: the processes before it in the chain name it too
            mapfile -d '' -t argv 2>/dev/null <"/proc/$pid/cmdline"
            [[ ${argv[0]:-} == */bash && ${argv[1]:-} == */verify-release.sh ]] &&
                [ -n "$(cat "/proc/$pid/task/$pid/children" 2>/dev/null)" ] && break ;;
        python) [[ $(readlink "/proc/$pid/exe") == */python3* ]] && break ;;
        started) grep -q 'build: probe: started' "$work/stopped.log" && break ;;
        esac
        sleep 0.01
    done
    local seen
    seen="$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null| cut -c1-60), child $(cat "/proc/$pid/task/$pid/children" 2>/dev/null)"
    sleep "$delay"
    for stop; do kill -"$stop" "$pid" 2>/dev/null; sleep 0.02; done
    wait "$pid"
    status=$?
    sleep 0.5
    if pgrep -x -f 'sleep 314159' >/dev/null || pgrep -x -f 'sleep 600' >/dev/null; then
        echo "the build outlived the verifier"
    elif [ "$1" = KILL ]; then
        [ $status -eq 137 ] || echo "status $status"
        rm -rf "${work:?}"/verifier-tmp/*  # a KILL leaves the verifier's folder, and only that
    elif [ $status -ne 130 ] || ! grep -q 'interrupted' "$work/stopped.log" || grep -q Traceback "$work/stopped.log" ||
        [ -n "$(ls -A "$work/verifier-tmp")" ]; then
        echo "status $status, $(ls -A "$work/verifier-tmp" | wc -l) files left, signalled at [$seen]: $(tail -n 3 "$work/stopped.log")"
    fi
}
for stops in INT TERM HUP "INT INT INT" "TERM TERM HUP" "HUP INT TERM" KILL; do
    # shellcheck disable=SC2086  # one signal a word
    problem=$(interrupt started 0 $stops)
    [ -z "$problem" ] && ok "$stops while building: the build and every file go with the verifier" ||
        fail "$stops while building: $problem"
done
early=()
for when in "shell 0" "shell 0.001" "shell 0.01" "python 0" "python 0.001" "python 0.003" "python 0.01" "python 0.03" \
    "python 0.1" "python 0.3"; do
    # shellcheck disable=SC2086  # where, then when
    problem=$(interrupt $when INT)
    [ -z "$problem" ] || early+=("$when s: $problem")
done
[ ${#early[@]} -eq 0 ] && ok "INT from the first moment of the verifier's shell and of its Python: interrupted, status 130, nothing left" ||
    fail "INT early on: ${early[*]}"

leaked=0
for secret in "${secrets[@]}"; do
    if grep -qF -- "$secret" <<<"$outputs$report" || grep -rqF -- "$secret" "$src/build/release.log"; then
        fail "the password or PIN $secret shows up in the release's output or its build log"
        leaked=1
    fi
done
[ $leaked -eq 1 ] || ok "neither password nor PIN in any output or log"

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "release and verification: passed"
