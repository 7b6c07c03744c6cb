#!/usr/bin/env bash
# Drops three pictures from another program onto the running window, under
# Xvfb with a window manager, and checks that each was squashed to fit.
#   drop.sh QUILLMOSS DRAG_SOURCE PICTURES MADE_PICTURES
set -euo pipefail
app=$1 source=$2 pictures=$3 made=$4
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT
. "$(dirname "$0")/desktop.sh"
start_desktop

# The program keeps its settings beside itself: run a copy in the scratch folder.
cp "$app" "$work/quillmoss"
files=(GreenMeadow.jpg horse.gif Storm_24bit.bmp)
cp "$pictures/GreenMeadow.jpg" "$pictures/horse.gif" "$made/Storm_24bit.bmp" "$work/"
chmod u+w "${files[@]/#/$work/}"
"$work/quillmoss" >"$work/app.log" 2>&1 & pids+=($!)
"$source" "${files[@]/#/$work/}" >"$work/source.log" 2>&1 & pids+=($!)

wait_for 30 "drop.sh: no window of the program" has_window "^Quillmoss 1.7" || exit 1
wait_for 30 "drop.sh: no drag source window" has_window "^drag-source$" || exit 1
main=$(window_named "^Quillmoss 1.7") src=$(window_named "^drag-source$")
xdotool windowmove --sync "$main" 20 20 windowmove --sync "$src" 600 100

# Press on the source, travel to the file box of the window, release. The
# steps are the gesture itself: a drag needs motion over the target.
xdotool mousemove --window "$src" 60 40 mousedown 1
for step in 1 2 3 4 5 6 7 8; do
    xdotool mousemove --window "$main" $((60 + step * 5)) 36
    sleep 0.1
done
xdotool mousemove --window "$main" 100 36
sleep 0.3
xdotool mouseup 1

three_squashed() { (($(find "$work" -maxdepth 1 -name '*_squashed.jpg' | wc -l) == 3)); }
wait_for 60 "drop.sh: not all three squashed" three_squashed || true
status=0
for f in "${files[@]}"; do
    out="$work/${f%.*}_squashed.jpg"
    if [[ ! -s $out ]]; then
        echo "missing: $out"; status=1; continue
    fi
    in_size=$(stat -c %s "$work/$f") out_size=$(stat -c %s "$out")
    # "No Resize": the file's own length less one byte.
    if ((out_size > in_size - 1)); then echo "too large: $out ($out_size > $((in_size - 1)))"; status=1; fi
    echo "$f -> $(basename "$out"): $out_size bytes"
done
cat "$work/source.log"
((status == 0)) || { echo "--- app log"; cat "$work/app.log"; }
exit $status
