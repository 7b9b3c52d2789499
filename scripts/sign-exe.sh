#!/bin/bash
# The vendor's signing command; release/sign-exe.sh signs.
# Its own folder from the file itself, wherever it is called from or linked.
exec "$(dirname "$(readlink -f -- "${BASH_SOURCE[0]}")")/../release/sign-exe.sh" "$@"
