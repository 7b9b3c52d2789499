#!/bin/bash
# Checks release zips against the commit they claim to come from, by
# rebuilding it (scripts/verify_release.py); docs/releasing.md, "Verifying a
# release", says what is compared and checked, and the KZ_VERIFY_* settings.
#
#   verify-release.sh ZIP... [COMMIT]     (COMMIT: a tag or hash; default HEAD)
set -euo pipefail
scripts=$(dirname "$0")
"$scripts/deps.sh" verify >&2
exec /usr/bin/python3 -I "$scripts/verify_release.py" "$@"
