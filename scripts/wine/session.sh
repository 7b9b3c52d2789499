#!/bin/bash
# A virtual X display and a persistent wineserver for one Wine prefix, started
# once for a run (the end-to-end tests', scripts/run.sh's, the benchmark's)
# and stopped by their PIDs at its end.
#
#   session.sh start SESSION_DIR PREFIX
#   session.sh stop SESSION_DIR
set -euo pipefail

action=${1:?usage: session.sh start|stop SESSION_DIR [PREFIX]}
session=${2:?usage: session.sh start|stop SESSION_DIR [PREFIX]}
wineserver=/usr/lib/wine/wineserver
# shellcheck source=env.sh
. "$(dirname "$0")/env.sh"

stop_pid() {  # PID file: TERM, then KILL if it does not go within 10 s
    local file=$1 pid
    [ -f "$file" ] || return 0
    pid=$(cat "$file")
    if kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$file"
}

# wait_for PID LOG WHAT COMMAND...: polls COMMAND until it succeeds, for at
# most 10 s and only while process PID lives; otherwise says WHAT did not
# happen, shows the process's LOG, stops what was started and fails.
wait_for() {
    local pid=$1 log=$2 what=$3 deadline=$((SECONDS + 10)) status=0
    shift 3
    until "$@" >/dev/null 2>&1; do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid" || status=$?
            echo "session.sh: $what: it ended with exit status $status" >&2
        elif [ $SECONDS -ge $deadline ]; then
            echo "session.sh: $what within 10 s" >&2
        else
            sleep 0.05
            continue
        fi
        cat "$log" >&2
        "$0" stop "$session"
        exit 1
    done
}

# Xvfb writes the number and its newline in two writes: a whole line.
display_written() { read -r _ <"$session/display"; }

# The server's socket in its own folder, which it enters before binding it
# there: from then on a Wine process connects to this server instead of
# starting one of its own.
server_listening() { [ -S "$(readlink "/proc/$1/cwd")/socket" ]; }

case $action in
start)
    prefix=${3:?usage: session.sh start SESSION_DIR PREFIX}
    "$0" stop "$session"
    mkdir -p "$session"
    wine_env "$prefix"
    # Xvfb picks a free display and writes its number to fd 3 once it takes
    # connections. The file is emptied first, here: the background job opens
    # (and empties) it only once it gets to run, which on a loaded machine
    # can come after the wait has read the number an earlier session left.
    : >"$session/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$session/display" \
        </dev/null >"$session/xvfb.log" 2>&1 &
    xvfb=$!
    echo "$xvfb" >"$session/xvfb.pid"
    wait_for "$xvfb" "$session/xvfb.log" "Xvfb gave no display number" display_written
    display=:$(head -n1 "$session/display")
    wait_for "$xvfb" "$session/xvfb.log" "display $display did not answer" xdpyinfo -display "$display"
    echo "WINEPREFIX=$prefix" >"$session/env"
    echo "DISPLAY=$display" >>"$session/env"
    # The server a Wine process of the run before started stays a few
    # seconds after its last client, holding the prefix's lock; a second one
    # would give up at once, silently, and leave the session without its own.
    if ! timeout 30 "$wineserver" -w; then
        echo "session.sh: Wine processes of $prefix still running after 30 s" >&2
        "$0" stop "$session"
        exit 1
    fi
    # Persistent, so that a volatile key a test makes lives until the app runs.
    "$wineserver" -f -p </dev/null >"$session/wineserver.log" 2>&1 &
    server=$!
    echo "$server" >"$session/wineserver.pid"
    wait_for "$server" "$session/wineserver.log" "the wineserver did not listen" server_listening "$server"
    cat "$session/env"
    ;;
stop)
    # The prefix is the session's own: ending its wineserver with -k takes
    # every Wine process in it along (services and desktop included), where
    # a signal to the server alone would leave them orphaned.
    if [ -f "$session/env" ] && [ -f "$session/wineserver.pid" ]; then
        wine_env "$(sed -n 's/^WINEPREFIX=//p' "$session/env")"
        "$wineserver" -k 2>/dev/null || true
    fi
    stop_pid "$session/wineserver.pid"
    stop_pid "$session/xvfb.pid"
    ;;
*)
    echo "session.sh: unknown action $action" >&2
    exit 2
    ;;
esac
