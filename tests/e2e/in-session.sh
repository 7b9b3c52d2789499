#!/bin/bash
# Runs a Windows program on the end-to-end session's display and Wine prefix,
# and prints its output once it has ended:
#
#   in-session.sh SESSION_DIR COMMAND...
#
# Through a file, not a pipe: Wine services that the program's first window
# starts would hold a pipe open long after the program has gone.
set -uo pipefail
session=${1:?usage: in-session.sh SESSION_DIR COMMAND...}
shift
# shellcheck source=../../scripts/wine/env.sh
. "$(dirname "$0")/../../scripts/wine/env.sh"
set -a
# shellcheck disable=SC1091
. "$session/env"
set +a
wine_env "$WINEPREFIX"
output=$session/in-session.$$.log
env LC_ALL="$wine_locale" "$@" </dev/null >"$output" 2>&1
status=$?
tr -d '\r' <"$output"
rm -f "$output"
exit $status
