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

# start_desktop: an X server on a free display, with a window manager
# answering; exports DISPLAY. Numbers from 1000 up, picked at random: other
# programs and test runs take the low ones, and a run that finds a number taken
# would drive this run's windows.
start_desktop() {
    # A runtime folder of its own: a program of another test run (the same
    # user) would otherwise be handed this run's start through its socket.
    export XDG_RUNTIME_DIR=$work/runtime
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    local n xvfb
    for _ in 1 2 3 4 5; do
        n=$((1000 + RANDOM % 29000))
        Xvfb ":$n" -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
        pids+=($!)
        xvfb=$!
        # Ready when it writes its number; gone when the number was taken.
        wait_for 20 "$0: the X server neither started nor ended" eval "[[ -s $work/display ]] || gone $xvfb" || exit 1
        [[ -s $work/display ]] && break
    done
    [[ -s $work/display ]] || { echo "$0: no free display"; exit 1; }
    export DISPLAY=:$n QT_QPA_PLATFORM=xcb
    openbox >"$work/openbox.log" 2>&1 &
    pids+=($!)
    wait_for 30 "$0: no window manager on $DISPLAY" wmctrl -m || { cat "$work/openbox.log"; exit 1; }
}
