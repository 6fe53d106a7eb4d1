#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR): everything, or with --target NAME
# (repeatable) only that. Other arguments go to CMake's configure step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
targets=()
configure=()
while [[ $# -gt 0 ]]; do
  if [[ $1 == --target ]]; then
    targets+=(--target "$2")
    shift 2
  else
    configure+=("$1")
    shift
  fi
done
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDREL9_WERROR=ON "${configure[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
