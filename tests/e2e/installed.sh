#!/usr/bin/env bash
# Installs the program into a scratch prefix and runs it as a user would,
# under Xvfb with a window manager: client area, the drop zone,
# and the settings file it leaves behind.
#   installed.sh BUILD_DIR PICTURES [SCREENSHOT.png]
set -euo pipefail
build=$1 pictures=$2 shot=${3:-}
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT
. "$(dirname "$0")/desktop.sh"

cmake --install "$build" --prefix "$work/prefix" >/dev/null
app=$work/prefix/bin/quillmoss
[[ -x $app && -f $work/prefix/share/applications/quillmoss.desktop &&
   -f $work/prefix/share/icons/hicolor/48x48/apps/quillmoss.png &&
   -f $work/prefix/share/icons/hicolor/scalable/apps/quillmoss.svg && -x $work/prefix/bin/quillmoss-squash ]] ||
    { echo "installed.sh: the install is incomplete"; find "$work/prefix"; exit 1; }
"$app" --version | grep -qx "Quillmoss 1.7" || { echo "installed.sh: --version"; exit 1; }
# Help, and a start without a display, answer on the terminal instead of aborting.
"$app" --help-all | grep -q "^Usage:" || { echo "installed.sh: --help-all"; exit 1; }
rc=0; out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$app" 2>&1) || rc=$?
[[ $rc -eq 1 && $out == "no display: quillmoss needs a desktop session; quillmoss-squash works without one"* ]] ||
    { echo "installed.sh: a start without a display gave $rc: $out"; exit 1; }

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$HOME"
start_desktop

"$app" >"$work/app.log" 2>&1 &
pid=$!; pids+=($pid)
wait_for 30 "installed.sh: no window" has_window "^Quillmoss 1.7" "$pid" ||
    { gone "$pid" && echo "(the program ended)"; cat "$work/app.log"; exit 1; }
main=$(window_named "^Quillmoss 1.7" "$pid")
status=0
size=$(xdotool getwindowgeometry "$main" | sed -n 's/.*Geometry: //p')
[[ $size == 384x457 ]] || { echo "client area: $size"; status=1; }

# The DropZone box, then the small round window it opens.
xdotool windowmove --sync "$main" 40 40
xdotool mousemove --window "$main" 150 56 click 1
zone_window() {
    for id in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
        [[ $(xdotool getwindowgeometry "$id" | sed -n 's/.*Geometry: //p') == 35x37 ]] && { echo "$id"; return; }
    done
    return 1
}
zone=
if wait_for 30 "no drop zone window" zone_window; then
    zone=$(zone_window)
    xdotool windowmove --sync "$zone" 440 60
else
    status=1
fi
[[ -z $shot ]] || import -window root -crop 520x540+0+0 "$shot"

# Close the main window (by its id: a key press could reach the drop zone,
# which stays on top) as a user would, and read what the program kept.
wmctrl -i -c "$main"
wait_for 30 "the program did not close" gone "$pid" || status=1
ini=$work/prefix/bin/quillmoss.ini
[[ -f $ini ]] || ini=$XDG_CONFIG_HOME/Quillmoss/quillmoss.ini
if [[ -f $ini ]]; then
    awk '/^\[Main\]/{m=1; next} /^\[/{m=0} m && /^DropZone=1$/{found=1} END{exit !found}' "$ini" ||
        { echo "Main/DropZone is not 1"; cat "$ini"; status=1; }
    grep -q '^\[DropZone\]' "$ini" || { echo "no DropZone section"; cat "$ini"; status=1; }
else
    echo "no settings file"; status=1
fi

# Pictures on the command line load as a drop would (two: Auto-Commit on and
# both squashed); a second start hands its picture to the running window.
for f in horse.gif video-001.bmp; do cp "$pictures/$f" "$work/$f"; chmod u+w "$work/$f"; done
cp "$pictures/horse.bmp" "$work/third.bmp"; chmod u+w "$work/third.bmp"
"$app" "$work/horse.gif" "$work/video-001.bmp" >>"$work/app.log" 2>&1 &
pid=$!; pids+=($pid)
wait_for 60 "command-line files not squashed" \
    test -s "$work/horse_squashed.jpg" -a -s "$work/video-001_squashed.jpg" || status=1
timeout 60 "$app" "$work/third.bmp" || { echo "the second start did not hand over and end"; status=1; }
kill -0 "$pid" 2>/dev/null || { echo "the first program is gone"; status=1; }
wait_for 60 "the handed-over picture was not squashed" test -s "$work/third_squashed.jpg" || status=1

((status == 0)) && echo "installed program: 384x457, drop zone, settings, command line and second start as expected"
exit $status
