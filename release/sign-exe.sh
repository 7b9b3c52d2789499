#!/bin/bash
# Signs an exe with the vendor's Authenticode certificate, the one way the
# release and the tests sign, and gives the signature the one form a release
# carries (authenticode.py); docs/releasing.md, "Signing", has the settings.
#
#   sign-exe.sh check      can we sign? (asked once, before the release builds)
#   sign-exe.sh IN OUT     sign IN into OUT
set -uo pipefail

usage="usage: sign-exe.sh check | sign-exe.sh IN OUT"
die() { echo "sign-exe: $*" >&2; exit 1; }
# A file named with a leading dash is a file to openssl and osslsigncode too.
for variable in KZ_SIGN_PFX KZ_SIGN_CERT KZ_SIGN_PASSWORD_FILE KZ_SIGN_PKCS11_MODULE; do
    [[ ${!variable:-} != -* ]] || printf -v "$variable" './%s' "${!variable}"
done
# Before anything runs, in every mode: a PIN in the key's URI would reach
# osslsigncode's and openssl's command lines, which every user can read.
[[ ${KZ_SIGN_KEY:-} != *pin-value=* && ${KZ_SIGN_KEY:-} != *pin-source=* ]] ||
    die "KZ_SIGN_KEY carries the PIN, which would then be on command lines; put it in KZ_SIGN_PASSWORD_FILE"
readable() {  # VARIABLE WHAT: the file VARIABLE names exists and is readable
    [ -n "${!1:-}" ] || die "$1 must name $2"
    [ -f "${!1}" ] && [ -r "${!1}" ] || die "cannot read $2 ${!1} ($1)"
}
authorities() {  # the time-stamp authorities are http(s) URLs or "none"
    local variable url
    for variable in KZ_SIGN_TIMESTAMP_URL $([ "${KZ_SIGN_DUAL:-}" != 1 ] || echo KZ_SIGN_LEGACY_TIMESTAMP_URL); do
        url=${!variable:-}
        [ -n "$url" ] || die "$variable must name a time-stamp authority, or be \"none\" to sign without: a signature without a time stamp stops being valid when its certificate expires"
        [ "$url" = none ] || [[ $url =~ ^https?://[^[:space:]]+$ ]] || die "$variable is neither an http(s) URL nor \"none\": $url"
    done
}

# Whatever ends this script, INT, TERM and HUP included, a signing tool it
# started is stopped and no OUT is left behind unless it is signed; nor the
# password, which both tools read from this run's own folder as the file's
# first line without its line end (openssl reads up to it; osslsigncode
# reads the whole file).
work=$(mktemp -d)
secret=$work/secret
out='' child='' signed=''
cleanup() {
    [ -z "$child" ] || { kill "$child" 2>/dev/null; wait "$child" 2>/dev/null; }
    [ -z "$out" ] || [ -n "$signed" ] || rm -f -- "$out"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
[ ! -f "${KZ_SIGN_PASSWORD_FILE:-}" ] || [ ! -r "$KZ_SIGN_PASSWORD_FILE" ] ||  # a FIFO or a device is refused below
    (umask 077 && head -n 1 -- "$KZ_SIGN_PASSWORD_FILE" | tr -d '\r\n' >"$secret")

if [ -n "${KZ_SIGN_PFX:-}" ] && [ -n "${KZ_SIGN_PKCS11_MODULE:-}" ]; then
    die "both KZ_SIGN_PFX and KZ_SIGN_PKCS11_MODULE are set; sign with one key"
elif [ -n "${KZ_SIGN_PKCS11_MODULE:-}" ]; then
    key_args=(-pkcs11module "$KZ_SIGN_PKCS11_MODULE" -certs "${KZ_SIGN_CERT:-}" -key "${KZ_SIGN_KEY:-}")
elif [ -n "${KZ_SIGN_PFX:-}" ]; then
    key_args=(-pkcs12 "$KZ_SIGN_PFX")
else
    die "no key: set KZ_SIGN_PFX, or KZ_SIGN_PKCS11_MODULE with KZ_SIGN_KEY and KZ_SIGN_CERT"
fi
key_args+=(-readpass "$secret")

check() {
    command -v osslsigncode >/dev/null || die "osslsigncode is not installed (scripts/deps.sh verify installs it)"
    readable KZ_SIGN_PASSWORD_FILE "the file that holds the password or PIN"
    authorities
    if [ -n "${KZ_SIGN_PFX:-}" ]; then
        readable KZ_SIGN_PFX "the PKCS#12 file"
        # Certificates exported from older Windows use ciphers OpenSSL 3
        # keeps in its legacy provider.
        local open=(openssl pkcs12 -in "$KZ_SIGN_PFX" -passin "file:$secret" -noout)
        "${open[@]}" 2>/dev/null || "${open[@]}" -legacy 2>/dev/null ||
            die "the password in $KZ_SIGN_PASSWORD_FILE does not open $KZ_SIGN_PFX, or that is not a PKCS#12 file"
        return
    fi
    readable KZ_SIGN_PKCS11_MODULE "the token's PKCS#11 module"
    readable KZ_SIGN_CERT "the signing certificate (PEM, with its chain)"
    [[ ${KZ_SIGN_KEY:-} == pkcs11:* ]] || die "KZ_SIGN_KEY must be the private key's pkcs11: URI"
    openssl x509 -in "$KZ_SIGN_CERT" -noout 2>/dev/null || die "$KZ_SIGN_CERT (KZ_SIGN_CERT) holds no PEM certificate"
    # One signature by the token through the engine osslsigncode uses, checked
    # with the certificate's key: the module loads, the PIN opens the token,
    # the key is there and is the certificate's. In a subshell: the engine
    # may crash on its way out after a failure.
    printf 'KZviVIVaru signing check\n' >"$work/data"
    [[ $KZ_SIGN_PKCS11_MODULE != *[[:cntrl:]]* ]] || die "KZ_SIGN_PKCS11_MODULE holds a control character"
    # Escaped, as OpenSSL's configuration reads a value: # would start a comment.
    printf 'openssl_conf = kz\n[kz]\nengines = e\n[e]\npkcs11 = p\n[p]\nengine_id = pkcs11\nMODULE_PATH = %s\n' \
        "$(sed 's/[^A-Za-z0-9/._+-]/\\&/g' <<<"$KZ_SIGN_PKCS11_MODULE")" >"$work/openssl.cnf"
    if ! (OPENSSL_CONF=$work/openssl.cnf openssl pkeyutl -engine pkcs11 -keyform engine -inkey "$KZ_SIGN_KEY" \
        -passin "file:$secret" -sign -rawin -digest sha256 -in "$work/data" -out "$work/signature"; exit $?) \
        >"$work/log" 2>&1 || [ ! -s "$work/signature" ]; then
        local reason="see: OPENSSL_CONF=<a file naming the module> openssl pkeyutl -engine pkcs11"
        if grep -q 'PIN incorrect' "$work/log"; then reason="the PIN is wrong"
        elif grep -q 'PIN locked' "$work/log"; then reason="the token's PIN is locked"
        elif grep -qE 'object not found|not found at' "$work/log"; then reason="no such key on the token"
        elif grep -qiE 'load.*module|module.*load|No such file' "$work/log"; then reason="the module does not load"
        fi
        die "the token does not sign with $KZ_SIGN_KEY: $reason (KZ_SIGN_PKCS11_MODULE, KZ_SIGN_KEY, and the PIN in $KZ_SIGN_PASSWORD_FILE)"
    fi
    openssl pkeyutl -verify -certin -inkey "$KZ_SIGN_CERT" -rawin -digest sha256 -in "$work/data" \
        -sigfile "$work/signature" >/dev/null 2>&1 || die "the key $KZ_SIGN_KEY does not belong to the certificate in $KZ_SIGN_CERT"
}

# IN OUT DIGEST TIMESTAMP_OPTION URL [osslsigncode option...]: one signature,
# osslsigncode in the background so that a signal reaches this script at
# once, not once a silent time-stamp authority gives up.
sign_once() {
    local in=$1 to=$2 digest=$3 stamp=$4 url=$5 log
    shift 5
    local args=(sign "${key_args[@]}" -h "$digest" -n "${KZ_SIGN_NAME:-KZviVIVaru}" "$@")
    [ -z "${KZ_SIGN_URL:-}" ] || args+=(-i "$KZ_SIGN_URL")
    [ "$url" = none ] || args+=("$stamp" "$url")
    osslsigncode "${args[@]}" -in "$in" -out "$to" >"$work/log" 2>&1 &
    child=$!
    wait "$child" && child= && return
    child=
    # The lines that name the cause, not osslsigncode's advice.
    log=$(grep -oE 'Failed to get data from [^ ]+|[Cc]onnection refused|timed out|PIN incorrect|object not found|No such file[^:]*' \
        "$work/log" | awk '!seen[$0]++' | paste -sd ';' | sed 's/;/; /g')
    die "the $digest signature of $name failed: ${log:-osslsigncode gave no reason}"
}
case ${1:-} in
check) check ;;
'') die "$usage" ;;
*)
    in=$1 name=$(basename -- "$1")
    [ -n "${2:-}" ] || die "$usage"
    readable KZ_SIGN_PASSWORD_FILE "the file that holds the password or PIN"
    authorities
    [ ! "$in" -ef "$2" ] || die "OUT is IN itself ($2); name the signed exe otherwise"
    out=$2  # from here on, removed unless signed
    # Read once: what is signed is what the signature is attached to.
    cp -- "$in" "$work/in.exe" 2>/dev/null || die "cannot read $in"
    rm -f -- "$out"
    if [ "${KZ_SIGN_DUAL:-}" = 1 ]; then
        sign_once "$work/in.exe" "$work/sha1.exe" sha1 -t "$KZ_SIGN_LEGACY_TIMESTAMP_URL"
        sign_once "$work/sha1.exe" "$work/signed.exe" sha256 -ts "$KZ_SIGN_TIMESTAMP_URL" -nest
    else
        sign_once "$work/in.exe" "$work/signed.exe" sha256 -ts "$KZ_SIGN_TIMESTAMP_URL"
    fi
    # The signature in its one form, attached to IN as the verifier attaches
    # it. attach-signature's status is its own check against a CA file (the
    # verifier's job): what counts is that OUT carries this signature.
    osslsigncode extract-signature -in "$work/signed.exe" -out "$work/signature.der" >/dev/null 2>&1 &&
        /usr/bin/python3 -I "$(dirname "$0")/authenticode.py" canonical "$work/signature.der" "$work/signature.pem" ||
        die "the signature of $name cannot be given a release's form"
    osslsigncode attach-signature -CAfile /dev/null -sigin "$work/signature.pem" -in "$work/in.exe" -out "$work/out.exe" >/dev/null 2>&1
    osslsigncode extract-signature -pem -in "$work/out.exe" -out "$work/attached.pem" >/dev/null 2>&1 &&
        cmp -s "$work/attached.pem" "$work/signature.pem" || die "the signature of $name does not attach to it"
    mv -f -- "$work/out.exe" "$out" || die "cannot write $out"
    signed=1
    ;;
esac
