#!/bin/bash
# A throwaway Wine prefix for the tests: `create DIR` makes one (about nine
# seconds), `remove DIR` waits for its wineserver to finish and deletes it.
set -euo pipefail

action=${1:?usage: prefix.sh create|remove DIR}
prefix=${2:?usage: prefix.sh create|remove DIR}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

case $action in
create)
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # Without a display wineboot cannot show its progress window, which is fine.
    env -u DISPLAY "$wine" wineboot --init >/dev/null 2>&1
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
