#!/bin/bash
# The lint tests' own check: in a scratch repository, a shell script and a
# Python script that are neither committed nor named like scripts, with one
# fault each; lint.sh must find the one its linter reads by its first line,
# and name the file and the finding.
#
#   finds-new-scripts.sh shellcheck|pyflakes WORK_DIR
set -euo pipefail
linter=${1:?usage: finds-new-scripts.sh shellcheck|pyflakes WORK_DIR}
work=${2:?usage: finds-new-scripts.sh shellcheck|pyflakes WORK_DIR}
lint=$(dirname "$(readlink -f "$0")")/lint.sh

rm -rf "$work"
mkdir -p "$work"
git -C "$work" init -q
printf '#!/bin/sh\ncd "$1"\nrm -f stale.log\n' >"$work/new-tool"
printf '#!/usr/bin/env python3\nprint(undefined_name)\n' >"$work/new-check"
exec "$lint" "$linter" "$work"
