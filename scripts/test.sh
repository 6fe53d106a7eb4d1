#!/usr/bin/env bash
# Builds with warnings as errors and runs every test, audio ones on a private PulseAudio
# server; the sound tests again on a private PipeWire; the window tests that depend on the
# window system (where the messages stand) again on a private headless Weston; then the
# whole suite once more in a Debug build with AddressSanitizer and UBSan, where Qt's own
# assertions are compiled in and the sound engine's stress test runs its thousands of
# rounds. Extra arguments go to CMake (make check-asan passes the sanitizer option and
# skips the Debug pass).
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
# Weston's headless backend needs no seat, no display and no GPU, and runs as root (CI).
# Its socket is in a folder of its own; it is stopped when the pass ends, whatever the
# outcome. Only the tests registered for Wayland run there, not the whole suite again.
run_wayland() { # build folder
  local dir=$1
  (
    weston_dir=$(mktemp -d /tmp/vendrel9-weston.XXXXXX)
    weston_pid=
    # A Weston that has ended but is not reaped yet still answers kill -0.
    weston_running() { [[ -n "$weston_pid" && "$(ps -o stat= -p "$weston_pid" || true)" == [^Z]* ]]; }
    stop_weston() {
      if [[ -n "$weston_pid" ]]; then
        kill -TERM "$weston_pid" 2>/dev/null || true
        for _ in $(seq 50); do weston_running || break; sleep 0.1; done
        kill -KILL "$weston_pid" 2>/dev/null || true
        wait "$weston_pid" 2>/dev/null || true
      fi
      rm -rf "$weston_dir"
    }
    trap stop_weston EXIT
    env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$weston_dir" \
      weston --backend=headless-backend.so --socket=vendrel9 --no-config --idle-time=0 \
      --log="$weston_dir/weston.log" &
    weston_pid=$!
    local deadline=$((SECONDS + 30))
    until [[ -S "$weston_dir/vendrel9" ]]; do
      if ! weston_running || ((SECONDS > deadline)); then
        echo "the private Weston did not start:" >&2
        cat "$weston_dir/weston.log" >&2 || true
        exit 1
      fi
      sleep 0.1
    done
    # The widget tests need no sound: a server that is not there, never one autospawned.
    V9_WAYLAND_DISPLAY="$weston_dir/vendrel9" PULSE_SERVER="unix:$weston_dir/no-sound" \
      ctest --test-dir "$dir" --output-on-failure -L wayland
  )
}
run_wayland "$build"
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
