#!/usr/bin/env bash
# Drops three pictures from another program onto the running window, under
# Xvfb with a window manager, and checks that each was squashed to fit.
#   drop.sh QUILLMOSS DRAG_SOURCE CORPUS
set -euo pipefail
app=$1 source=$2 corpus=$3
for tool in Xvfb openbox xdotool; do
    command -v "$tool" >/dev/null || { echo "drop.sh: $tool missing (run scripts/bootstrap)"; exit 1; }
done
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
export DISPLAY=$display QT_QPA_PLATFORM=xcb
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
openbox >/dev/null 2>&1 & pids+=($!)
sleep 0.5

# The program keeps its settings beside itself: run a copy in the scratch folder.
cp "$app" "$work/quillmoss"
for f in GreenMeadow.jpg horse.gif Storm_24bit.bmp; do cp "$corpus/$f" "$work/"; chmod u+w "$work/$f"; done
"$work/quillmoss" >"$work/app.log" 2>&1 & pids+=($!)
"$source" "$work/GreenMeadow.jpg" "$work/horse.gif" "$work/Storm_24bit.bmp" >"$work/source.log" 2>&1 & pids+=($!)

find_window() {
    for _ in $(seq 100); do
        id=$(xdotool search --name "$1" 2>/dev/null | head -1 || true)
        [[ -n $id ]] && { echo "$id"; return; }
        sleep 0.1
    done
    echo "drop.sh: no window named '$1'" >&2; exit 1
}
main=$(find_window "Quillmoss 1.7")
src=$(find_window "drag-source")
xdotool windowmove "$main" 20 20
xdotool windowmove "$src" 600 100
sleep 0.7

# Press on the source, travel to the file box of the window, release.
xdotool mousemove --window "$src" 60 40 mousedown 1
for step in 1 2 3 4 5 6 7 8; do
    xdotool mousemove --window "$main" $((60 + step * 5)) 36
    sleep 0.1
done
xdotool mousemove --window "$main" 100 36
sleep 0.3
xdotool mouseup 1

for _ in $(seq 300); do
    n=$(find "$work" -maxdepth 1 -name '*_squashed.jpg' | wc -l)
    ((n == 3)) && break
    sleep 0.1
done
sleep 0.5
status=0
for f in GreenMeadow.jpg horse.gif Storm_24bit.bmp; do
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
