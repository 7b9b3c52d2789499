#!/bin/bash
# The lint's own check: lint.sh run on a scratch repository that holds a new
# shell script and a new Python script, neither committed nor named like one,
# with one fault each.
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
