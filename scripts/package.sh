#!/bin/bash
# The vendor's release command; release/package.sh is the release.
exec "$(dirname "$0")/../release/package.sh" "$@"
