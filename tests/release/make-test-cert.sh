#!/bin/bash
# A throwaway self-signed code-signing certificate for the tests, made anew
# for each run and never committed:
#
#   make-test-cert.sh DIR
#
# DIR/test.pfx (PKCS#12, its password in DIR/password), DIR/cert.pem to
# verify signatures against, and DIR/wrong-password.
set -euo pipefail
dir=${1:?usage: make-test-cert.sh DIR}
mkdir -p "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=KZviVIVaru test vendor" \
    -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
    -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null
printf 'pw-%s\n' "$(openssl rand -hex 12)" >"$dir/password"
printf 'not-the-password\n' >"$dir/wrong-password"
openssl pkcs12 -export -inkey "$dir/key.pem" -in "$dir/cert.pem" -passout "file:$dir/password" -out "$dir/test.pfx"
rm -f "$dir/key.pem"
