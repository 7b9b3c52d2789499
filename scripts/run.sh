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
# shellcheck source=wine/desktop.sh
. scripts/wine/desktop.sh

if [ -n "${DISPLAY:-}" ]; then
    desktop_prefix "$prefix"
    echo "== KZviVIVaru.exe is running: press 开  始"
    status=0
    "${wine[@]}" "$build/KZviVIVaru.exe" </dev/null >"$root/build/run.log" 2>&1 || status=$?
else
    echo "== no display: running on a virtual one and pressing the button"
    desktop_start "$prefix" "$root/build/run-session"
    shots=$root/build/screenshots
    mkdir -p "$shots"
    "${wine[@]}" "$build/KZviVIVaru.exe" </dev/null >"$root/build/run.log" 2>&1 &
    app_pid=$!
    main=$(desktop_wait_window '柯舟软件    viVIVaru')
    sleep 0.5  # let the first paint finish before the picture is taken
    import -window "$main" "$shots/window.png"
    desktop_click_centre "$main"
    box=$(desktop_wait_window '提示')
    sleep 0.5
    # The confirmation over the window, as the operator sees them together.
    read -r mx my mw mh < <(desktop_rect "$main")
    read -r bx by bw bh < <(desktop_rect "$box")
    left=$((mx < bx ? mx : bx)) top=$((my < by ? my : by))
    right=$((mx + mw > bx + bw ? mx + mw : bx + bw)) bottom=$((my + mh > by + bh ? my + mh : by + bh))
    import -window root -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$shots/confirmation.png"
    desktop_confirm "$box"
    status=0
    wait "$app_pid" || status=$?
    app_pid=
    echo "screenshots: $shots/window.png, $shots/confirmation.png"
fi

echo "== KZviVIVaru.exe ended with exit code $status; the MMI's user key now holds:"
# Through a file: a Wine service started now would hold a pipe open.
"${wine[@]}" "$build/tests/e2e_probe.exe" show </dev/null >"$root/build/run-values.txt" 2>/dev/null || true
tr -d '\r' <"$root/build/run-values.txt"
exit "$status"
