#!/bin/bash
# Runs a command with Wine's settings (env.sh) for a prefix, in the program's
# locale: how CMake runs the tests under Wine. A command of its own locale
# starts with `env LC_ALL=...`.
#
#   in-prefix.sh PREFIX COMMAND...
set -euo pipefail

prefix=${1:?usage: in-prefix.sh PREFIX COMMAND...}
shift
# shellcheck source=env.sh
. "$(dirname "$0")/env.sh"
wine_env "$prefix"
exec env LC_ALL="$wine_locale" "$@"
