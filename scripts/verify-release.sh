#!/bin/bash
# Checks release zips against the commit they claim to come from, by
# rebuilding it (release/verify.py); docs/releasing.md, "Verifying a
# release", says what is compared and checked, and the KZ_VERIFY_* settings.
#
#   verify-release.sh ZIP... [COMMIT]     (COMMIT: a tag or hash; default HEAD)
child=
trap '[ -z "$child" ] || kill "$child" 2>/dev/null; echo "verify-release: interrupted; nothing verified" >&2; exit 130' INT TERM HUP
# Its own folder from the file itself, wherever it is called from or linked.
top=$(dirname "$(readlink -f -- "${BASH_SOURCE[0]}")")/..
# In the background and waited for, so that a signal ends the wait at once.
"$top/scripts/deps.sh" verify >&2 &
child=$!
wait "$child" || exit
# Blocked until the verifier's handler is in place, so that one sent at any
# moment ends it as an interrupt does.
exec env --block-signal=INT,TERM,HUP /usr/bin/python3 -I "$top/release/verify.py" "$@"
