# shellcheck shell=bash
# Sourced by scripts/run.sh and bench/run.sh: KZviVIVaru.exe on a virtual
# display, in a prefix of their own, pressed the way an operator presses it.

desktop_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=env.sh
. "$desktop_scripts/env.sh"

# desktop_wine ARG...: Wine in the program's locale.
desktop_wine() { env LC_ALL="$wine_locale" /usr/lib/wine/wine64 "$@"; }
app_pid=

# desktop_prefix PREFIX: makes the prefix when missing and points Wine at it.
desktop_prefix() {
    [ -f "$1/user.reg" ] || "$desktop_scripts/prefix.sh" create "$1"
    wine_env "$1"
}

# desktop_start PREFIX SESSION: desktop_prefix, then the display and the
# wineserver, stopped (with the program) when the caller exits.
desktop_start() {
    local prefix=$1 session=$2
    desktop_prefix "$prefix"
    "$desktop_scripts/session.sh" start "$session" "$prefix" >/dev/null
    desktop_session=$session
    trap desktop_stop EXIT
    export "$(grep '^DISPLAY=' "$session/env")"
}

desktop_stop() {
    [ -z "$app_pid" ] || kill -9 "$app_pid" 2>/dev/null || true
    "$desktop_scripts/session.sh" stop "$desktop_session"
}

# desktop_wait_window TITLE: prints the X window id once it is visible.
desktop_wait_window() {
    for _ in $(seq 300); do
        xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1 | grep . && return 0
        sleep 0.1
    done
    echo "no window titled $1" >&2
    return 1
}

# desktop_rect XID: "x y width height".
desktop_rect() {
    xdotool getwindowgeometry --shell "$1" |
        awk -F= '/^X=/{x=$2} /^Y=/{y=$2} /^WIDTH=/{w=$2} /^HEIGHT=/{h=$2} END{print x, y, w, h}'
}

# desktop_click_centre XID: a real pointer click in the middle of the window,
# which is where the button is.
desktop_click_centre() {
    local x y w h
    read -r x y w h < <(desktop_rect "$1")
    xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
}

# desktop_confirm XID: Return into the message box, as the operator's OK.
desktop_confirm() {
    xdotool windowfocus "$1" 2>/dev/null
    xdotool key Return
}
