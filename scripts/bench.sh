#!/usr/bin/env bash
# Builds and prints the benchmark tables; sound on a private server, the port a pty, and
# a disk that stalls on demand (the stall shim) for the keying figures. The whole table
# on PulseAudio, then the sound's own figures again on PipeWire.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh" --target bench_vendrel9
run() { # sound server, benchmark arguments
  local sound=$1
  shift
  (
    export V9_SOUND=$sound
    source "$root/scripts/pulse.sh"
    export XDG_RUNTIME_DIR="$v9_pulse_dir"
    export V9_STALL_FILE="$v9_pulse_dir/stalled.wav" V9_STALL_FLAG="$v9_pulse_dir/stalled.flag"
    LD_PRELOAD="$build/tests/v9modemshim.so:$build/tests/v9stallshim.so" "$build/bench/bench_vendrel9" "$@"
  )
}
run pulseaudio
run pipewire --sound-pass PipeWire
