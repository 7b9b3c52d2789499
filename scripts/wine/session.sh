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

case $action in
start)
    prefix=${3:?usage: session.sh start SESSION_DIR PREFIX}
    "$0" stop "$session"
    mkdir -p "$session"
    # Xvfb picks a free display and writes its number to fd 3.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$session/display" \
        </dev/null >"$session/xvfb.log" 2>&1 &
    echo $! >"$session/xvfb.pid"
    for _ in $(seq 100); do [ -s "$session/display" ] && break; sleep 0.1; done
    [ -s "$session/display" ] || { echo "Xvfb did not start" >&2; cat "$session/xvfb.log" >&2; exit 1; }
    echo "WINEPREFIX=$prefix" >"$session/env"
    echo "DISPLAY=:$(head -n1 "$session/display")" >>"$session/env"
    # Persistent, so that a volatile key a test makes lives until the app runs.
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -f -p </dev/null >"$session/wineserver.log" 2>&1 &
    echo $! >"$session/wineserver.pid"
    cat "$session/env"
    ;;
stop)
    # The prefix is the session's own: ending its wineserver with -k takes
    # every Wine process in it along (services and desktop included), where
    # a signal to the server alone would leave them orphaned.
    if [ -f "$session/env" ] && [ -f "$session/wineserver.pid" ]; then
        WINEPREFIX=$(sed -n 's/^WINEPREFIX=//p' "$session/env") /usr/lib/wine/wineserver -k 2>/dev/null || true
    fi
    stop_pid "$session/wineserver.pid"
    stop_pid "$session/xvfb.pid"
    ;;
*)
    echo "session.sh: unknown action $action" >&2
    exit 2
    ;;
esac
