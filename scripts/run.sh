#!/bin/bash
# Builds everything, then runs KZviVIVaru.exe under Wine in the project's own
# prefix (build/run-prefix). On a desktop the operator sees the window and
# presses the button. Without a display it runs on a virtual one, presses the
# button itself and saves screenshots of the window and of the confirmation
# into build/screenshots/. Either way it ends by printing the user key's
# values as the prefix's registry then holds them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/deps.sh
scripts/build.sh native mingw-x64 mingw-x86

build=$root/build/mingw-x64
prefix=$root/build/run-prefix
session=$root/build/run-session
wine=/usr/lib/wine/wine64
[ -f "$prefix/user.reg" ] || tests/wine/prefix.sh create "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= LC_ALL=zh_CN.UTF-8

if [ -n "${DISPLAY:-}" ]; then
    echo "== KZviVIVaru.exe is running: press 开  始"
    status=0
    "$wine" "$build/KZviVIVaru.exe" </dev/null >"$root/build/run.log" 2>&1 || status=$?
else
    echo "== no display: running on a virtual one and pressing the button"
    tests/e2e/session.sh start "$session" "$prefix" >/dev/null
    app_pid=
    stop() {
        [ -z "$app_pid" ] || kill -9 "$app_pid" 2>/dev/null || true
        tests/e2e/session.sh stop "$session"
    }
    trap stop EXIT
    export "$(grep '^DISPLAY=' "$session/env")"

    wait_window() {  # title: prints the X window id
        for _ in $(seq 200); do
            xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1 | grep . && return 0
            sleep 0.1
        done
        echo "no window titled $1" >&2
        return 1
    }
    rect() {  # x-window: "x y width height"
        xdotool getwindowgeometry --shell "$1" |
            awk -F= '/^X=/{x=$2} /^Y=/{y=$2} /^WIDTH=/{w=$2} /^HEIGHT=/{h=$2} END{print x, y, w, h}'
    }

    shots=$root/build/screenshots
    mkdir -p "$shots"
    "$wine" "$build/KZviVIVaru.exe" </dev/null >"$root/build/run.log" 2>&1 &
    app_pid=$!
    main=$(wait_window '柯舟软件    viVIVaru')
    sleep 0.5  # let the first paint finish before the picture is taken
    import -window "$main" "$shots/window.png"
    read -r mx my mw mh < <(rect "$main")
    xdotool mousemove $((mx + mw / 2)) $((my + mh / 2)) click 1
    box=$(wait_window '提示')
    sleep 0.5
    # The confirmation over the window, as the operator sees them together.
    read -r bx by bw bh < <(rect "$box")
    left=$((mx < bx ? mx : bx)) top=$((my < by ? my : by))
    right=$((mx + mw > bx + bw ? mx + mw : bx + bw)) bottom=$((my + mh > by + bh ? my + mh : by + bh))
    import -window root -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$shots/confirmation.png"
    xdotool windowfocus "$box" 2>/dev/null
    xdotool key Return
    status=0
    wait "$app_pid" || status=$?
    app_pid=
    echo "screenshots: $shots/window.png, $shots/confirmation.png"
fi

echo "== KZviVIVaru.exe ended with exit code $status; the MMI's user key now holds:"
# Through a file: a Wine service started now would hold a pipe open.
"$wine" "$build/tests/e2e_probe.exe" show </dev/null >"$root/build/run-values.txt" 2>/dev/null || true
tr -d '\r' <"$root/build/run-values.txt"
exit "$status"
