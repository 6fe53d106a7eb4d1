#!/usr/bin/env bash
# Builds with warnings as errors and runs every test, audio ones on a private sound server.
# Extra arguments go to CMake (make check-asan passes the sanitizer option).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh" "$@"
source "$root/scripts/pulse.sh"
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$v9_pulse_dir"
ctest --test-dir "$build" --output-on-failure
