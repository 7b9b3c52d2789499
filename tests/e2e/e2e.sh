#!/bin/bash
# End-to-end tests: the real KZviVIVaru.exe under Wine on the session's
# virtual display, driven as an operator drives it (pointer clicks and key
# presses through the X server), watched through e2e_probe.exe and the X
# server, and checked in the registry afterwards by a 64-bit program (for
# the 32-bit build too: both must write the one key 64-bit programs read).
#
#   e2e.sh CASE BUILD_DIR SESSION_DIR PROBE
#
# Every wait polls with a time-out; every process a case starts is ended by
# its PID when the case ends, pass or fail.
set -uo pipefail

usage="usage: e2e.sh CASE BUILD_DIR SESSION_DIR PROBE"
case_name=${1:?$usage}
build=${2:?$usage}
session=${3:?$usage}
probe_exe=${4:?$usage}
source=$(cd "$(dirname "$0")/../.." && pwd)

# shellcheck source=../../scripts/wine/env.sh
. "$source/scripts/wine/env.sh"
set -a
# shellcheck disable=SC1091
. "$session/env"
set +a
wine_env "$WINEPREFIX"
export LC_ALL=$wine_locale

wine=/usr/lib/wine/wine64
app=$build/KZviVIVaru.exe
artifacts=$build/e2e/$case_name
rm -rf "$artifacts"
mkdir -p "$artifacts"

readonly kCaption='柯舟软件    viVIVaru'
readonly kButton='开  始'
readonly kRestartTitle='提示'
readonly kRestartText='重启MMI生效！'
readonly kFailureTitle='用户键恢复失败'

failures=0
app_pid=

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

expect_eq() {  # what expected actual
    if [ "$2" == "$3" ]; then
        echo "ok: $1 = $3"
    else
        fail "$1: expected [$2], got [$3]"
    fi
}

expect_true() {  # what command...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else fail "$what"; fi
}

finish() {
    local status=$?
    if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
        kill -9 "$app_pid" 2>/dev/null
        wait "$app_pid" 2>/dev/null
    fi
    if [ "$status" -ne 0 ] && [ "$failures" -eq 0 ]; then
        fail "the script stopped early (status $status)"
    fi
    if [ "$failures" -gt 0 ]; then
        echo "$case_name: $failures check(s) failed; screenshots and probes in $artifacts"
        exit 1
    fi
    echo "$case_name: passed"
}
trap finish EXIT

[ -f "$probe_exe" ] || { fail "no probe at $probe_exe (the 32-bit run reads with the 64-bit build's)"; exit 1; }

# Through a file, not a pipe: a Wine service the probe happens to start
# would hold a pipe open after the probe has gone.
probe() {
    "$wine" "$probe_exe" "$@" </dev/null >"$artifacts/probe.out" 2>/dev/null
    local status=$?
    tr -d '\r' <"$artifacts/probe.out"
    return $status
}

# Loads `probe window TITLE` into the associative array W.
declare -A W
probe_window() {
    W=()
    local line
    while IFS= read -r line; do
        [[ $line == ?*=* ]] || continue
        W[${line%%=*}]=${line#*=}
    done < <(probe window "$1" | tee "$artifacts/window-$2.txt")
}

start_app() {  # [VAR=value ...]: extra environment for the program
    env "$@" "$wine" "$app" </dev/null >"$artifacts/app.log" 2>&1 &
    app_pid=$!
}

# Prints the X window id of the visible window with exactly that title.
wait_x_window() {  # title seconds
    local deadline=$((SECONDS + $2)) id
    while [ $SECONDS -lt $deadline ]; do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1)
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        kill -0 "$app_pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# Waits for the program to end and sets exit_status to its exit code, or to
# "running". (Not for $(...): only this shell can wait for its child.)
exit_status=
wait_exit() {  # seconds
    local deadline=$((SECONDS + $1))
    while [ $SECONDS -lt $deadline ] && kill -0 "$app_pid" 2>/dev/null; do
        sleep 0.1
    done
    if kill -0 "$app_pid" 2>/dev/null; then
        exit_status=running
        return
    fi
    wait "$app_pid"
    exit_status=$?
    app_pid=
}

screenshot() {  # x-window name
    import -window "$1" "$artifacts/$2.png" 2>/dev/null
}

rect_field() {  # "l,t,r,b" index(0-3)
    local -a parts
    IFS=, read -r -a parts <<<"$1"
    echo "${parts[$2]}"
}

# Waits until the window has come up with the button holding the focus, as
# an operator waits to see it before pressing a key.
wait_ready() {  # title seconds
    local deadline=$((SECONDS + $2))
    while [ $SECONDS -lt $deadline ]; do
        probe_window "$1" ready
        [ "${W[focus]:-}" = child.0 ] && return 0
        sleep 0.2
    done
    return 1
}

# A clean registry, the program started, and its window up and ready.
start_ready() {  # [VAR=value ...]: extra environment for the program
    probe reset
    start_app "$@"
    wait_x_window "$kCaption" 20 >/dev/null || fail "the main window did not appear"
    wait_ready "$kCaption" 10 || fail "the button never took the focus"
}

# The texts of W's child controls of one class, a line each.
child_texts() {  # class
    local i
    for i in $(seq 0 $(( ${W[children]:-0} - 1 ))); do
        [ "${W[child.$i.class]}" = "$1" ] && [ -n "${W[child.$i.text]}" ] && echo "${W[child.$i.text]}"
    done
}

click_at() {  # x y: a real pointer click through the X server
    xdotool mousemove "$1" "$2" click 1
}

click_button() {  # child index of W
    local client=${W[client]} rect=${W[child.$1.rect]}
    local x=$(( $(rect_field "$client" 0) + ($(rect_field "$rect" 0) + $(rect_field "$rect" 2)) / 2 ))
    local y=$(( $(rect_field "$client" 1) + ($(rect_field "$rect" 1) + $(rect_field "$rect" 3)) / 2 ))
    click_at "$x" "$y"
}

press_key() {  # x-window key
    # A real key press through the X server (XTEST), into the window given
    # the X keyboard focus first: without a window manager nothing else
    # moves the focus between top-level windows.
    xdotool windowfocus "$1" 2>/dev/null
    xdotool key "$2"
}

# The nine values as `probe values` prints them: kind:bytes:hex data.
utf16_hex() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 -v | tr -d ' \n' | tr a-f A-F; }
expected_values() {
    local axis n=0 level
    for axis in X Y Z; do
        n=$((n + 1))
        level=$(printf '00%02X0700' $((n + 2)))
        echo "value.UserKeyLevel$n=4:4:$level"
        echo "value.UserKey$n=1:16:$(utf16_hex "${axis}轴对刀偏移量")0000"
        echo "value.UserApplication$n=1:94:$(utf16_hex "\"C:\\Program Files\\Power Automation\\Mmi\\P${axis}.EXE\"")0000"
    done | sort
}

expect_nine_values() {
    expect_eq "read back by a 64-bit program" "bits=64" "$(probe bits)"
    probe values >"$artifacts/values.txt"
    expect_eq "the key holds nine values" "values=9" "$(grep '^values=' "$artifacts/values.txt")"
    expect_eq "the nine values, kind, size and data" "$(expected_values)" \
        "$(grep '^value\.' "$artifacts/values.txt" | sort)"
}

expect_nothing_written() {
    expect_eq "nothing written" "key=0" "$(probe values | grep '^key=')"
}

# Which registry entry point stored each user-key label, with its byte count,
# from Wine's relay trace of a run started with WINEDEBUG=+relay (the prefix
# limits the trace to RegSetValueExA/W). The program takes the ANSI one when
# its code page holds the labels' Chinese characters (936: 13 bytes and the
# NUL), the wide one when it does not (1252: 7 UTF-16 characters and the NUL):
# the trace shows which code page the program itself ran under. (On x64 the
# trace prints whole registers: only the low 32 bits are the DWORD count.)
expect_labels_stored_through() {  # what entry-point:count
    local n calls=
    for n in 1 2 3; do
        calls+="$(sed -nE 's/^[0-9a-f]+:Call advapi32\.(RegSetValueEx[AW])\([^,]*,[^ ]* L?"UserKey'$n'",[^,]*,[^,]*,[^,]*,[0-9a-f]*([0-9a-f]{8})\).*/\1:\2/p' \
            "$artifacts/app.log" | head -n1) "
    done
    expect_eq "$1" "$2 $2 $2 " "$calls"
}

# The reserved word each of the nine values was written with, from a relay
# trace: RegSetValueExA and RegSetValueExW require it to be 0. (On x64 only the
# register's low 32 bits are the DWORD.)
expect_reserved_words_zero() {
    local words
    words=$(sed -nE 's/^[0-9a-f]+:Call advapi32\.RegSetValueEx[AW]\([^,]*,[^ ]* L?"User(KeyLevel|Key|Application)[1-3]",[0-9a-f]*([0-9a-f]{8}),.*/\2/p' \
        "$artifacts/app.log" | tr '\n' ' ')
    expect_eq "reserved word of the nine RegSetValueEx calls" "$(printf '00000000 %.0s' 1 2 3 4 5 6 7 8 9)" "$words"
}

# The program's calls on the MMI's key, in order, from a relay trace (the
# prefix limits it to creating, setting, flushing and closing keys): the
# key's creation, then every call handed the key's handle (which the first
# set names), each set with the name of its value, up to the close, after
# which the handle may name another key.
relay_calls_on_user_key() {  # relay-log
    local key
    key=$(sed -nE 's/.*:Call advapi32\.RegSetValueExA\(([0-9a-f]+),[^ ]* "UserKeyLevel1".*/\1/p' "$1" | head -n1)
    sed -nE -e '/:Call advapi32\.RegCreateKeyA\(.*Mmi\\\\User"/s/.*(RegCreateKeyA).*/\1/p' \
        -e "s/.*:Call advapi32\.(RegSetValueEx[AW])\(${key:-none},[^ ]* L?\"([^\"]*)\".*/\1:\2/p" \
        -e "s/.*:Call advapi32\.(Reg[A-Za-z]+)\(${key:-none}[,)].*/\1/p" "$1" | sed '/^RegCloseKey$/q'
}

# Durable before confirmed: by the time the confirmation is on screen the
# nine values have been written, in the MMI's order, the key flushed to the
# disk, and closed.
expect_flushed_before_confirmation() {  # relay log captured with the box up
    expect_eq "registry calls made while the confirmation is up" \
        "RegCreateKeyA $(for n in 1 2 3; do printf 'RegSetValueExA:%s ' "UserKeyLevel$n" "UserKey$n" \
            "UserApplication$n"; done)RegFlushKey RegCloseKey" \
        "$(relay_calls_on_user_key "$1" | tr '\n' ' ' | sed 's/ $//')"
}

# The program's first calls, from a relay trace: the DLL search limited to
# System32 (LOAD_LIBRARY_SEARCH_SYSTEM32) through SetDefaultDllDirectories,
# which Wine's kernel32 has, before the common controls or anything else is
# loaded. (On x64 only the register's low 32 bits are the DWORD.)
expect_dll_search_limited_first() {  # relay-log
    expect_eq "DLL search limited to System32 before anything else" \
        "SetDefaultDllDirectories(00000800) InitCommonControlsEx" \
        "$(sed -nE -e 's/^[0-9a-f]+:Call [A-Za-z0-9]+\.(SetDefaultDllDirectories)\([0-9a-f]*([0-9a-f]{8})\).*/\1(\2)/p' \
            -e 's/^[0-9a-f]+:Call [A-Za-z0-9]+\.(SetDllDirectoryW|InitCommonControlsEx)\(.*/\1/p' "$1" |
            tr '\n' ' ' | sed 's/ $//')"
}

# The type of each message box the program showed, from a relay trace: its
# buttons, and the icon and sound that come with it.
expect_message_boxes() {  # what relay-log type...
    expect_eq "$1" "${*:3}" \
        "$(sed -nE 's/^[0-9a-f]+:Call user32\.MessageBoxW\(.*,[0-9a-f]*([0-9a-f]{8})\) ret=.*/\1/p' "$2" |
            tr '\n' ' ' | sed 's/ $//')"
}

# After a press: the confirmation exactly as the operator reads it, OK
# pressed on the keyboard, a clean exit, and the nine values in the registry.
# A command given is run while the box is up, with the box's X window id.
expect_confirmation_and_restore() {
    local box buttons
    if box=$(wait_x_window "$kRestartTitle" 10); then
        [ $# -eq 0 ] || "$@" "$box"
        screenshot "$box" confirmation
        probe_window "$kRestartTitle" box
        expect_eq "message box title" "$kRestartTitle" "${W[title]}"
        expect_eq "message box text" "$kRestartText" "$(child_texts Static)"
        buttons=$(for i in $(seq 0 $(( ${W[children]} - 1 ))); do
            [ "${W[child.$i.class]}" = Button ] && echo "${W[child.$i.id]}"
        done)
        expect_eq "one button, OK" 1 "$buttons"
        press_key "$box" Return
    else
        fail "no message box titled $kRestartTitle"
    fi
    wait_exit 5
    expect_eq "exit code" 0 "$exit_status"
    expect_nine_values
}

# A registry that refuses the MMI's key (a volatile vendor key cannot have
# lasting children), the program started and its button pressed; sets `box`
# to the X window id of the error box, and fails when none came.
box=
press_refused() {
    probe reset
    expect_eq "volatile vendor key made" "" "$(probe volatile)"
    start_app WINEDEBUG=+relay
    wait_x_window "$kCaption" 20 >/dev/null || fail "the main window did not appear"
    wait_ready "$kCaption" 10 || fail "the button never took the focus"
    click_button 0
    box=$(wait_x_window "$kFailureTitle" 10)
}

# The window as the operator first sees it, at `dpi` dots per inch.
check_window() {  # dpi
    local dpi=$1 xid
    xid=$(wait_x_window "$kCaption" 20) || { fail "the main window did not appear"; return 1; }
    wait_ready "$kCaption" 10 || fail "the button never took the focus"
    probe_window "$kCaption" main
    # After the probe's round trips the program has drawn its first frame.
    screenshot "$xid" "window"
    expect_eq "caption (read in Windows)" "$kCaption" "${W[title]}"
    expect_eq "caption (read from X)" "$kCaption" "$(xdotool getwindowname "$xid")"

    px() { echo $(( ($1 * dpi + 720) / 1440 )); }
    local client=${W[client]} frame=${W[window]} screen=${W[screen]}
    local cw=$(( $(rect_field "$client" 2) - $(rect_field "$client" 0) ))
    local ch=$(( $(rect_field "$client" 3) - $(rect_field "$client" 1) ))
    expect_eq "client area" "$(px 3510)x$(px 1575)" "${cw}x${ch}"

    local ww=$(( $(rect_field "$frame" 2) - $(rect_field "$frame" 0) ))
    local wh=$(( $(rect_field "$frame" 3) - $(rect_field "$frame" 1) ))
    local sw=${screen%,*} sh=${screen#*,}
    expect_eq "centred on the screen" "$(( (sw - ww) / 2 )),$(( (sh - wh) / 2 ))" \
        "$(rect_field "$frame" 0),$(rect_field "$frame" 1)"

    local style=$(( W[style] ))
    expect_eq "caption bar and system menu" yes \
        "$( (( (style & 0x00C80000) == 0x00C80000 )) && echo yes || echo no)"
    expect_eq "no sizing border, minimize or maximize box" 0 $(( style & 0x00070000 ))
    expect_eq "caption buttons" close "${W[caption.buttons]}"

    expect_eq "controls" 1 "${W[children]}"
    expect_eq "button class" Button "${W[child.0.class]}"
    expect_eq "button caption" "$kButton" "${W[child.0.text]}"
    expect_eq "button rectangle (client)" "$(px 240),$(px 240),$(px 3255),$(px 1335)" "${W[child.0.rect]}"
    local bstyle=$(( ${W[child.0.style]} ))
    expect_eq "button is a default push button and a tab stop" yes \
        "$( (( (bstyle & 0x0F) == 1 && (bstyle & 0x00010000) )) && echo yes || echo no)"
    expect_eq "keyboard focus" child.0 "${W[focus]}"

    check_font "$dpi"
}

# A control's font cannot be read from another process, so the caption's
# ink is measured instead: 21.75 point SimSun is 29 pixels at 96 DPI, and
# its CJK glyphs fill most of that height; the default GUI font would give
# less than half.
check_font() {  # dpi
    local dpi=$1 em frame client rect ink height
    em=$(( (435 * dpi + 720) / 1440 ))
    frame=${W[window]} client=${W[client]} rect=${W[child.0.rect]}
    local x=$(( $(rect_field "$client" 0) - $(rect_field "$frame" 0) + $(rect_field "$rect" 0) + 6 ))
    local y=$(( $(rect_field "$client" 1) - $(rect_field "$frame" 1) + $(rect_field "$rect" 1) + 6 ))
    local w=$(( $(rect_field "$rect" 2) - $(rect_field "$rect" 0) - 12 ))
    local h=$(( $(rect_field "$rect" 3) - $(rect_field "$rect" 1) - 12 ))
    ink=$(convert "$artifacts/window.png" -crop "${w}x${h}+${x}+${y}" +repage -colorspace Gray \
        -threshold 50% -negate -trim -format '%w %h' info: 2>/dev/null)
    height=${ink#* }
    echo "caption ink ${ink/ /x} px for a ${em} px font"
    expect_true "caption drawn ${em} px high (ink ${height} px)" \
        test "${height:-0}" -ge $(( em * 7 / 10 )) -a "${height:-0}" -le "$em"
}

# The window's icon as Wine hands it to the X server (_NET_WM_ICON, ARGB)
# against the picture in resources/app-icon.txt: opaque pure red or clear.
check_icon() {
    local xid expected actual
    xid=$(wait_x_window "$kCaption" 20) || { fail "the main window did not appear"; return 1; }
    expected=$(tr -d '\n' <"$source/resources/app-icon.txt")
    actual=$(xprop -id "$xid" -f _NET_WM_ICON 32c '=$0+\n' _NET_WM_ICON | sed 's/^[^=]*=//' |
        tr -d ' ' | tr ',' '\n' | awk '
            NR == 1 { w = $1 } NR == 2 { h = $1 }
            NR > 2 && NR <= 2 + w * h && w == 32 {
                if ($1 == 4294901760) printf "#"; else if ($1 < 16777216) printf "."; else printf "?"
            }')
    expect_eq "window icon, 32 x 32, against the picture" "$expected" "$actual"
}

case $case_name in
window)  # everything visible at start, then the close box: nothing written
    probe reset
    start_app
    check_window 96
    check_icon
    x=${W[caption.close]%,*} y=${W[caption.close]#*,}
    click_at "$x" "$y"
    wait_exit 10
    expect_eq "exit code after the close box" 0 "$exit_status"
    expect_nothing_written
    ;;
press)  # the operator's whole errand: click, read, OK
    start_ready WINEDEBUG=+relay
    click_button 0
    relay_while_box_up() { cp "$artifacts/app.log" "$artifacts/relay-at-confirmation.log"; }
    expect_confirmation_and_restore relay_while_box_up
    expect_dll_search_limited_first "$artifacts/relay-at-confirmation.log"
    expect_flushed_before_confirmation "$artifacts/relay-at-confirmation.log"
    expect_message_boxes "the confirmation: OK, information icon (MB_OK | MB_ICONINFORMATION)" \
        "$artifacts/relay-at-confirmation.log" 00000040
    expect_labels_stored_through "labels stored in code page 936 (ANSI entry point, 14 bytes)" \
        RegSetValueExA:0000000e
    ;;
enter|space)  # the keyboard presses the button too
    start_ready
    xid=$(wait_x_window "$kCaption" 1)
    [ "$case_name" = enter ] && key=Return || key=space
    press_key "$xid" "$key"
    expect_confirmation_and_restore
    ;;
escape)  # Esc leaves like the close box
    start_ready
    press_key "$(wait_x_window "$kCaption" 1)" Escape
    wait_exit 10
    expect_eq "exit code after Esc" 0 "$exit_status"
    expect_nothing_written
    ;;
refused)  # a registry that refuses the key: the error box, not the confirmation
    if press_refused; then
        screenshot "$box" failure
        probe_window "$kFailureTitle" box
        text=$(child_texts Static)
        printf '%s\n' "$text" >"$artifacts/failure-text.txt"
        for needle in '未能恢复' 'HKEY_CURRENT_USER\Software\PowerAutomation\Mmi\User' \
            'UserKeyLevel1、UserKey1、UserApplication1、UserKeyLevel2、UserKey2、UserApplication2、UserKeyLevel3、UserKey3、UserApplication3' \
            '错误 1021'; do
            expect_true "error text names: $needle" grep -qF -- "$needle" <<<"$text"
        done
        expect_true "no confirmation shown" test -z "$(xdotool search --onlyvisible --name "^$kRestartTitle\$")"
        expect_message_boxes "the error box: OK, error icon (MB_OK | MB_ICONERROR)" "$artifacts/app.log" 00000010
        press_key "$box" Return
    else
        fail "no error box titled $kFailureTitle"
        xdotool search --onlyvisible --name '.' getwindowname %@ 2>/dev/null
    fi
    wait_exit 5
    expect_eq "exit code" 1 "$exit_status"
    expect_nothing_written
    probe reset
    ;;
closed)  # the error box up, the window closed from outside: still a failure
    if press_refused; then
        # As Task Manager's End task (or taskkill without /F) asks it to.
        expect_eq "main window told to close" "closed=1" "$(probe close "$kCaption")"
    else
        fail "no error box titled $kFailureTitle"
    fi
    wait_exit 10
    expect_eq "exit code" 1 "$exit_status"
    expect_true "the error box went with the window" \
        test -z "$(xdotool search --onlyvisible --name "^$kFailureTitle\$" 2>/dev/null)"
    expect_nothing_written
    probe reset
    ;;
cp1252)  # a Western code page: the texts still show and store exactly
    start_ready LC_ALL=en_US.UTF-8 WINEDEBUG=+relay
    screenshot "$(wait_x_window "$kCaption" 1)" window
    expect_eq "caption" "$kCaption" "${W[title]}"
    expect_eq "button caption" "$kButton" "${W[child.0.text]}"
    click_button 0
    expect_confirmation_and_restore
    expect_labels_stored_through "labels stored as UTF-16 under code page 1252 (wide entry point, 16 bytes)" \
        RegSetValueExW:00000010
    expect_reserved_words_zero  # both entry points were used
    ;;
signed)  # the exe as a dual-signed release carries it starts and restores alike
    cert=$artifacts/cert
    /usr/bin/python3 -I "$source/tests/release/pki.py" make "$cert" || fail "the test PKI could not be made"
    KZ_SIGN_PFX=$cert/test.pfx KZ_SIGN_PASSWORD_FILE=$cert/password KZ_SIGN_DUAL=1 \
        KZ_SIGN_TIMESTAMP_URL=none KZ_SIGN_LEGACY_TIMESTAMP_URL=none \
        "$source/scripts/sign-exe.sh" "$app" "$artifacts/KZviVIVaru.exe" || fail "the exe could not be signed"
    app=$artifacts/KZviVIVaru.exe
    start_ready
    click_button 0
    expect_confirmation_and_restore
    ;;
dpi144)  # 150 % scaling: every length in step, the font with them
    probe reset
    probe dpi 144
    start_app
    check_window 144
    xid=$(wait_x_window "$kCaption" 20) && press_key "$xid" Escape
    wait_exit 10
    expect_eq "exit code after Esc" 0 "$exit_status"
    probe dpi 96
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
