#!/bin/bash
# The vendor's signing command; release/sign-exe.sh signs.
exec "$(dirname "$0")/../release/sign-exe.sh" "$@"
