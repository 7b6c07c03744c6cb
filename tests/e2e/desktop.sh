# Sourced by the end-to-end scripts: a headless desktop (Xvfb and openbox)
# and waiting for a state with a time limit instead of sleeping blind.

for tool in Xvfb openbox xdotool wmctrl; do
    command -v "$tool" >/dev/null || { echo "$0: $tool missing (run scripts/bootstrap)"; exit 1; }
done

# wait_for SECONDS WHAT COMMAND...: runs COMMAND every tenth of a second until
# it succeeds; after SECONDS says that WHAT did not happen and fails.
wait_for() {
    local limit=$1 what=$2 end=$((SECONDS + $1))
    shift 2
    until "$@" >/dev/null 2>&1; do
        ((SECONDS < end)) || { echo "$what (waited ${limit}s)"; return 1; }
        sleep 0.1
    done
}

# window_named NAME [PID]: the id of a visible window whose name matches NAME.
window_named() {
    xdotool search --onlyvisible ${2:+--pid "$2"} --name "$1" 2>/dev/null | head -1
}
has_window() { [[ -n $(window_named "$@") ]]; }
gone() { ! kill -0 "$1" 2>/dev/null; }

# start_desktop FIRST_DISPLAY: an X server on a free display from
# FIRST_DISPLAY on, with a window manager answering; exports DISPLAY.
start_desktop() {
    local n=$(($1 + RANDOM % 100))
    while [[ -e /tmp/.X$n-lock ]]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    pids+=($!)
    export DISPLAY=:$n QT_QPA_PLATFORM=xcb
    wait_for 20 "no X server on :$n" xdotool getmouselocation || exit 1
    openbox >/dev/null 2>&1 &
    pids+=($!)
    wait_for 20 "no window manager on :$n" wmctrl -m || exit 1
}
