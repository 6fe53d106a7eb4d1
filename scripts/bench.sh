#!/usr/bin/env bash
# Builds and prints the benchmark table; sound on a private server, the port a pty.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
source "$root/scripts/pulse.sh"
export XDG_RUNTIME_DIR="$v9_pulse_dir"
LD_PRELOAD="$build/tests/v9modemshim.so" "$build/bench/bench_vendrel9"
