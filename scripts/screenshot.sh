#!/usr/bin/env bash
# Starts the program on a private Xvfb display and captures its window into $1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/screenshot.png}
display=:$((90 + $$ % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
app=
cleanup() { [[ -n "$app" ]] && kill "$app" 2>/dev/null; kill "$xvfb" 2>/dev/null; true; }
trap cleanup EXIT
for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X${display#:} ]] && break; sleep 0.1; done
DISPLAY=$display QT_QPA_PLATFORM=xcb "${BUILD_DIR:-$root/build}/bin/vendrel9" >/dev/null 2>&1 &
app=$!
window=$(DISPLAY=$display xdotool search --sync --onlyvisible --name VALDOR | head -1)
sleep 1
mkdir -p "$(dirname "$out")"
DISPLAY=$display import -window "$window" "$out"
echo "wrote $out"
