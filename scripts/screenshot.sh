#!/usr/bin/env bash
# Starts the program on a private Xvfb display and captures its window into $1, recording
# a new message from the private sound server's test source, so that the media bar shows
# its level. Nothing is saved.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/screenshot.png}
out=$(realpath -m "$out")
source "$root/scripts/pulse.sh"
export XDG_RUNTIME_DIR="$v9_pulse_dir"
# The scripts' sine is at half scale; half of that, -12 dBFS, is where a good take peaks.
pactl set-source-volume v9sine 0.5 || true
display=:$((90 + $$ % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
app=
cleanup() { [[ -n "$app" ]] && kill "$app" 2>/dev/null; kill "$xvfb" 2>/dev/null; v9_stop_pulse; true; }
trap cleanup EXIT
for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X${display#:} ]] && break; sleep 0.1; done
export DISPLAY=$display
binary=$(realpath "${BUILD_DIR:-$root/build}/bin/vendrel9")
# Started in the server's scratch folder, so the new message's name can be a short one.
(cd "$v9_pulse_dir" && QT_QPA_PLATFORM=xcb exec "$binary") >/dev/null 2>&1 &
app=$!
window=$(xdotool search --sync --onlyvisible --name VALDOR | head -1)
xdotool windowfocus --sync "$window"
sleep 0.5
# The menu bar's height: the client area below it is 304 pixels high.
menu=$(( $(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: [0-9]*x\([0-9]*\).*/\1/p') - 304 ))
# The path box, a name for a new message, then the bar's ΕΓΓΡΑΦΗ, whose click gives the
# bar the keyboard back; the pointer then leaves it.
xdotool mousemove --window "$window" 272 $((145 + menu)) click 1
xdotool type --delay 20 cq.wav
xdotool mousemove --window "$window" 392 $((76 + menu)) click 1
xdotool mousemove --window "$window" 540 $((290 + menu))
sleep 1.5
mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
echo "wrote $out"
