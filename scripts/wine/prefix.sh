#!/bin/bash
# A Wine prefix set up for the program's window: `create DIR` makes one
# (about ten seconds), `remove DIR` waits for its wineserver to finish and
# deletes it.
set -euo pipefail

action=${1:?usage: prefix.sh create|remove DIR}
prefix=${2:?usage: prefix.sh create|remove DIR}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
scripts=$(dirname "$(readlink -f "$0")")

# shellcheck source=env.sh
. "$scripts/env.sh"
wine_env "$prefix"

case $action in
create)
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # Without a display wineboot cannot show its progress window, which is fine.
    env -u DISPLAY "$wine" wineboot --init >/dev/null 2>&1
    # Decorations and fonts for the window tests (harmless for the others).
    # regedit reads a .reg file as UTF-16 only when it starts with the BOM.
    settings=$prefix/drive_c/prefix.reg
    { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$scripts/prefix.reg"; } >"$settings"
    env -u DISPLAY "$wine" regedit /S 'C:\prefix.reg' >/dev/null 2>&1
    rm -f "$settings"
    "$wineserver" -w
    test -f "$prefix/user.reg"
    ;;
remove)
    if [ -d "$prefix" ]; then
        "$wineserver" -w || true
        rm -rf "$prefix"
    fi
    ;;
*)
    echo "prefix.sh: unknown action $action" >&2
    exit 2
    ;;
esac
