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
    desktop_wine "$build/KZviVIVaru.exe" </dev/null >"$root/build/run.log" 2>&1 || status=$?
else
    echo "== no display: running on a virtual one and pressing the button"
    desktop_start "$prefix" "$root/build/run-session"
    shots=$root/build/screenshots
    mkdir -p "$shots"
    desktop_wine "$build/KZviVIVaru.exe" </dev/null >"$root/build/run.log" 2>&1 &
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
# Through a file: a Wine service started now would hold a pipe open. Wine's
# reg writes in the console's code page, 936 in the Chinese locale, with its
# columns four spaces apart: lined up here, a level word in hex and decimal.
key='HKEY_CURRENT_USER\Software\PowerAutomation\Mmi\User'
if desktop_wine reg query "$key" </dev/null >"$root/build/run-values.txt" 2>/dev/null; then
    tr -d '\r' <"$root/build/run-values.txt" | iconv -f CP936 -t UTF-8 | awk -F '    ' '
        function number(hex,  n, i) {
            for (i = 3; i <= length(hex); i++) n = n * 16 + index("0123456789abcdef", tolower(substr(hex, i, 1))) - 1
            return n
        }
        NF < 4 { if ($0 != "") print; next }
        {
            data = $4
            for (i = 5; i <= NF; i++) data = data FS $i
            if ($3 == "REG_DWORD") data = sprintf("0x%08X (%.0f)", number(data), number(data))
            printf "    %-18s%-11s%s\n", $2, $3, data
        }'
else
    echo "$key does not exist"
fi
exit "$status"
