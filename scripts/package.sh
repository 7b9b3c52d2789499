#!/bin/bash
# The vendor's release command; release/package.sh is the release.
# Its own folder from the file itself, wherever it is called from or linked.
exec "$(dirname "$(readlink -f -- "${BASH_SOURCE[0]}")")/../release/package.sh" "$@"
