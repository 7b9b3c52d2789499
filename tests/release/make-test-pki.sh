#!/bin/bash
# Everything the signed-release test signs and verifies with, made anew for
# each run and never committed, in DIR (after make-test-cert.sh DIR):
#
#   make-test-pki.sh DIR
#
#   token/          a SoftHSM2 token holding the vendor's key (label kz,
#                   object vendor); softhsm2.conf points at it, pin holds its
#                   PIN. The key file it came from is removed.
#   tsa/            a time-stamp authority for tsa.py: tsa.pem (issued by
#                   tsa-root.pem), tsa.key, tsa.cnf for openssl ts
#   trusted.pem     the certificates a verifier trusts: the vendor's and an
#                   impostor's of the same name (impostor.pem, impostor.key)
#   stranger.pem, stranger.key        a code-signing certificate nobody trusts
#   self-made-tsa.pem, self-made-tsa.key   a time-stamp authority nobody trusts
set -euo pipefail
dir=$(readlink -f "${1:?usage: make-test-pki.sh DIR}")
cd "$dir"
certificate() {  # NAME SUBJECT EXTENSION...: a self-signed NAME.pem and NAME.key
    local name=$1 subject=$2 extensions=()
    shift 2
    for extension; do extensions+=(-addext "$extension"); done
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "$subject" "${extensions[@]}" \
        -keyout "$name.key" -out "$name.pem" 2>/dev/null
}

# The vendor's key on a token, under a PIN of its own. softhsm2-util takes
# the PIN only on its command line: a throwaway one, for this token alone.
openssl pkcs12 -in test.pfx -passin file:password -nodes -nocerts 2>/dev/null |
    openssl pkcs8 -topk8 -nocrypt -out vendor.key
mkdir -p token/objects
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir/token/objects" >token/softhsm2.conf
printf 'pin-%s\n' "$(openssl rand -hex 8)" >token/pin
export SOFTHSM2_CONF=$dir/token/softhsm2.conf
pin=$(head -n1 token/pin)
softhsm2-util --init-token --free --label kz --pin "$pin" --so-pin "so-$pin" >/dev/null
softhsm2-util --import vendor.key --token kz --label vendor --id 01 --pin "$pin" >/dev/null
rm -f vendor.key

certificate impostor "/CN=KZviVIVaru test vendor" extendedKeyUsage=codeSigning keyUsage=digitalSignature
cat cert.pem impostor.pem >trusted.pem
certificate stranger "/CN=Stranger" extendedKeyUsage=codeSigning keyUsage=digitalSignature
certificate self-made-tsa "/CN=Self-made time-stamp authority" extendedKeyUsage=critical,timeStamping

mkdir -p tsa
certificate tsa/tsa-root "/CN=KZviVIVaru test time-stamp root" basicConstraints=critical,CA:TRUE keyUsage=keyCertSign
openssl req -newkey rsa:2048 -nodes -subj "/CN=KZviVIVaru test time-stamp authority" \
    -keyout tsa/tsa.key -out tsa/tsa.csr 2>/dev/null
printf 'basicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\nextendedKeyUsage = critical, timeStamping\n' >tsa/ext.cnf
openssl x509 -req -in tsa/tsa.csr -CA tsa/tsa-root.pem -CAkey tsa/tsa-root.key -CAcreateserial -days 2 \
    -extfile tsa/ext.cnf -out tsa/tsa.pem 2>/dev/null
rm -f tsa/tsa-root.key tsa/tsa.csr
echo 01 >tsa/serial
cat >tsa/tsa.cnf <<EOF
[ tsa ]
default_tsa = test
[ test ]
serial = $dir/tsa/serial
signer_cert = $dir/tsa/tsa.pem
certs = $dir/tsa/tsa.pem
signer_key = $dir/tsa/tsa.key
signer_digest = sha256
default_policy = 2.999.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
EOF
