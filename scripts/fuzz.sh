#!/usr/bin/env bash
# Builds the fuzz target with clang and runs it for $1 seconds (default 60) over a seed
# corpus made fresh by make_corpus, replaying tests/fuzz/regressions first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-fuzz}
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDREL9_FUZZ=ON \
  -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_open make_corpus
corpus="$build/corpus"
"$build/tests/fuzz/make_corpus" "$corpus/seeds"
mkdir -p "$corpus/found"
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
# Every earlier finding must still pass before new ground is explored.
if compgen -G "$root/tests/fuzz/regressions/*" >/dev/null; then
  "$build/tests/fuzz/fuzz_open" "$root"/tests/fuzz/regressions/*
fi
"$build/tests/fuzz/fuzz_open" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
  -artifact_prefix="$corpus/" "$corpus/found" "$corpus/seeds"
