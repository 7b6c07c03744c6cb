#!/usr/bin/env bash
# Installs the program into a scratch prefix and runs it as a user would,
# under Xvfb with a window manager: caption, client area, the drop zone,
# and the settings file it leaves behind.
#   installed.sh BUILD_DIR CORPUS [SCREENSHOT.png]
set -euo pipefail
build=$1 corpus=$2 shot=${3:-}
for tool in Xvfb openbox xdotool; do
    command -v "$tool" >/dev/null || { echo "installed.sh: $tool missing (run scripts/bootstrap)"; exit 1; }
done
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

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

display=:$((200 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
export DISPLAY=$display QT_QPA_PLATFORM=xcb HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$HOME"
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
openbox >/dev/null 2>&1 & pids+=($!)
sleep 0.5

"$app" >"$work/app.log" 2>&1 &
pid=$!; pids+=($pid)
main=
for _ in $(seq 100); do
    main=$(xdotool search --name "^Quillmoss 1.7" 2>/dev/null | head -1 || true)
    [[ -n $main ]] && break
    sleep 0.1
done
[[ -n $main ]] || { echo "installed.sh: no window"; cat "$work/app.log"; exit 1; }
sleep 0.5
status=0
caption=$(xdotool getwindowname "$main")
[[ $caption == "Quillmoss 1.7 - bY tRoMbeLiX" ]] || { echo "caption: $caption"; status=1; }
size=$(xdotool getwindowgeometry "$main" | sed -n 's/.*Geometry: //p')
[[ $size == 384x457 ]] || { echo "client area: $size"; status=1; }

# The DropZone box, then the small round window it opens.
xdotool windowmove "$main" 40 40
sleep 0.3
xdotool mousemove --window "$main" 150 56 click 1
zone=
for _ in $(seq 50); do
    for id in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null || true); do
        [[ $(xdotool getwindowgeometry "$id" | sed -n 's/.*Geometry: //p') == 35x37 ]] && zone=$id
    done
    [[ -n $zone ]] && break
    sleep 0.1
done
[[ -n $zone ]] || { echo "no drop zone window"; status=1; }
if [[ -n $zone ]]; then
    xdotool windowmove "$zone" 440 60
    sleep 0.5
fi
[[ -z $shot ]] || import -window root -crop 520x540+0+0 "$shot"

# Close the program as a user would, and read what it kept.
xdotool windowactivate --sync "$main" 2>/dev/null || true
xdotool key --clearmodifiers alt+F4
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then echo "the program did not close"; status=1; fi
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
for f in horse.gif video-001.bmp; do cp "$corpus/$f" "$work/$f"; chmod u+w "$work/$f"; done
cp "$corpus/horse.bmp" "$work/third.bmp"; chmod u+w "$work/third.bmp"
"$app" "$work/horse.gif" "$work/video-001.bmp" >>"$work/app.log" 2>&1 &
pid=$!; pids+=($pid)
for _ in $(seq 100); do [[ -s $work/horse_squashed.jpg && -s $work/video-001_squashed.jpg ]] && break; sleep 0.1; done
[[ -s $work/horse_squashed.jpg && -s $work/video-001_squashed.jpg ]] || { echo "command-line files not squashed"; status=1; }
timeout 10 "$app" "$work/third.bmp" || { echo "the second start did not hand over and end"; status=1; }
kill -0 "$pid" 2>/dev/null || { echo "the first program is gone"; status=1; }
for _ in $(seq 100); do [[ -s $work/third_squashed.jpg ]] && break; sleep 0.1; done
[[ -s $work/third_squashed.jpg ]] || { echo "the handed-over picture was not squashed"; status=1; }

((status == 0)) && echo "installed program: caption, 384x457, drop zone, settings, command line and second start as expected"
exit $status
