#!/usr/bin/env bash
# Builds with warnings as errors and runs every test, audio ones on a private PulseAudio
# server; the sound tests again on a private PipeWire; then the whole suite once more in
# a Debug build with AddressSanitizer and UBSan, where Qt's own assertions are compiled
# in and the sound engine's stress test runs its thousands of rounds. Extra arguments go
# to CMake (make check-asan passes the sanitizer option and skips the Debug pass).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh" "$@"
export QT_QPA_PLATFORM=offscreen
run_suite() { # build folder, sound server, ctest arguments
  local dir=$1 sound=$2
  shift 2
  (
    export V9_SOUND=$sound
    source "$root/scripts/pulse.sh"
    export XDG_RUNTIME_DIR="$v9_pulse_dir"
    ctest --test-dir "$dir" --output-on-failure "$@" || {
      local status=$?
      # What the private servers said, before their folder goes: a failure on a busy
      # machine may be theirs (a session manager that stopped linking streams).
      for log in "$v9_pulse_dir"/*.log "$v9_pulse_dir"/log; do
        [[ -s "$log" ]] && { echo "--- $(basename "$log"), last lines"; tail -n 40 "$log"; }
      done
      pactl list short sink-inputs 2>&1 | sed 's/^/sink input: /'
      exit "$status"
    }
  )
}
run_suite "$build" pulseaudio
# On a busy machine the private PipeWire's session manager sometimes stops linking new
# streams, and every test after that on the server fails at once. Tests failed there run
# once more on a new server; a fault of the program fails there again.
run_suite "$build" pipewire -L sound || {
  echo "the PipeWire pass failed; its failed tests once more, on a new private server" >&2
  run_suite "$build" pipewire --rerun-failed
}
if [[ $# -eq 0 && -z "${V9_SKIP_DEBUG:-}" ]]; then
  debug=${BUILD_DIR_DEBUG:-$root/build-debug}
  BUILD_DIR=$debug "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Debug -DVENDREL9_SANITIZE=ON
  (
    # The shims are preloaded ahead of the sanitizer runtime, which then skips its check.
    export ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp V9_STRESS_ROUNDS=2000
    run_suite "$debug" pulseaudio -E '^package$'
  )
fi
