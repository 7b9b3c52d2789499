#!/bin/bash
# Checks release zips against the commit they claim to come from, by
# rebuilding that commit's release with each zip's signature attached and
# comparing bytes (scripts/verify_release.py; README.md, "Verifying a
# release", says what is checked).
#
#   verify-release.sh ZIP... [COMMIT]     (COMMIT: a tag or hash; default HEAD)
#
# Settings: KZ_VERIFY_SIGNED=1, KZ_VERIFY_SIGNER=<SHA-256 fingerprint>,
# KZ_VERIFY_SIGNATURES=<form>, KZ_VERIFY_CAFILE, KZ_VERIFY_TSA_CAFILE.
# Ends with 0 only when every zip is verified, 2 when the arguments or
# settings cannot be read.
set -euo pipefail
scripts=$(dirname "$0")
"$scripts/deps.sh" verify >&2
exec /usr/bin/python3 -I "$scripts/verify_release.py" "$@"
