#!/usr/bin/env bash
# Builds with warnings as errors and runs every test, audio ones on a private PulseAudio
# server; then the audio tests again on a private PipeWire. Extra arguments go to CMake
# (make check-asan passes the sanitizer option).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh" "$@"
export QT_QPA_PLATFORM=offscreen
(
  export V9_SOUND=pulseaudio
  source "$root/scripts/pulse.sh"
  export XDG_RUNTIME_DIR="$v9_pulse_dir"
  ctest --test-dir "$build" --output-on-failure
)
(
  export V9_SOUND=pipewire
  source "$root/scripts/pulse.sh"
  export XDG_RUNTIME_DIR="$v9_pulse_dir"
  ctest --test-dir "$build" --output-on-failure -L sound
)
