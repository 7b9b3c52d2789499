#!/bin/bash
# Signs an exe with the vendor's Authenticode certificate, the one way the
# release and the tests sign: a SHA-256 signature whose description is the
# program's name (and the vendor's URL, where given), time-stamped by an
# RFC 3161 server where one is given.
#
#   sign-exe.sh check      are the certificate and its password usable?
#                          (the release asks once, before it builds)
#   sign-exe.sh IN OUT     sign IN into OUT; OUT is not left behind on failure
#
# From the environment:
#   KZ_SIGN_PFX             the PKCS#12 file with the certificate and its key
#   KZ_SIGN_PASSWORD_FILE   the file holding its password; only the tools read
#                           it, so the password is never on a command line or
#                           in a log
#   KZ_SIGN_NAME            the description (default: KZviVIVaru)
#   KZ_SIGN_URL             the vendor's URL (optional)
#   KZ_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamp server (optional)
set -uo pipefail

usage="usage: sign-exe.sh check | sign-exe.sh IN OUT"
die() { echo "sign-exe: $*" >&2; exit 1; }

check() {
    [ -n "${KZ_SIGN_PFX:-}" ] || die "KZ_SIGN_PFX names no certificate file"
    [ -f "$KZ_SIGN_PFX" ] && [ -r "$KZ_SIGN_PFX" ] ||
        die "cannot read the certificate file $KZ_SIGN_PFX (KZ_SIGN_PFX)"
    [ -n "${KZ_SIGN_PASSWORD_FILE:-}" ] ||
        die "KZ_SIGN_PASSWORD_FILE must name the file that holds the certificate's password"
    [ -f "$KZ_SIGN_PASSWORD_FILE" ] && [ -r "$KZ_SIGN_PASSWORD_FILE" ] ||
        die "cannot read the password file $KZ_SIGN_PASSWORD_FILE (KZ_SIGN_PASSWORD_FILE)"
    command -v osslsigncode >/dev/null || die "osslsigncode is not installed (scripts/deps.sh installs it)"
    # The password must open the file. Certificates exported from older
    # Windows use ciphers OpenSSL 3 keeps in its legacy provider.
    local open=(openssl pkcs12 -in "$KZ_SIGN_PFX" -passin "file:$KZ_SIGN_PASSWORD_FILE" -noout)
    "${open[@]}" 2>/dev/null || "${open[@]}" -legacy 2>/dev/null ||
        die "the password in $KZ_SIGN_PASSWORD_FILE does not open $KZ_SIGN_PFX, or that is not a PKCS#12 file"
}

case ${1:-} in
check)
    check
    ;;
'')
    die "$usage"
    ;;
*)
    in=$1
    out=${2:?$usage}
    : "${KZ_SIGN_PFX:?names no certificate file}" "${KZ_SIGN_PASSWORD_FILE:?names no password file}"
    args=(sign -pkcs12 "$KZ_SIGN_PFX" -readpass "$KZ_SIGN_PASSWORD_FILE" -h sha256
        -n "${KZ_SIGN_NAME:-KZviVIVaru}")
    [ -z "${KZ_SIGN_URL:-}" ] || args+=(-i "$KZ_SIGN_URL")
    [ -z "${KZ_SIGN_TIMESTAMP_URL:-}" ] || args+=(-ts "$KZ_SIGN_TIMESTAMP_URL")
    rm -f "$out"
    if ! log=$(osslsigncode "${args[@]}" -in "$in" -out "$out" 2>&1); then
        rm -f "$out"
        die "signing $in failed: $(tr '\n' ' ' <<<"$log")"
    fi
    ;;
esac
