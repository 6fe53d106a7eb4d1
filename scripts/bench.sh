#!/usr/bin/env bash
# Builds and prints the benchmark table; sound on a private server, the port a pty, and
# a disk that stalls on demand (the stall shim) for the keying figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
source "$root/scripts/pulse.sh"
export XDG_RUNTIME_DIR="$v9_pulse_dir"
export V9_STALL_FILE="$v9_pulse_dir/stalled.wav" V9_STALL_FLAG="$v9_pulse_dir/stalled.flag"
LD_PRELOAD="$build/tests/v9modemshim.so:$build/tests/v9stallshim.so" "$build/bench/bench_vendrel9"
