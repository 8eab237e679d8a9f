#!/usr/bin/env bash
# Builds the configuration file loader's fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs it for a fixed number of inputs from a
# copy of the seed corpus. Fails on any crash, sanitizer report, leak or time-out.
#   FUZZ_RUNS   inputs to run (default 20000); the run also stops after FUZZ_SECONDS (60)
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${FUZZ_RUNS:-20000}
seconds=${FUZZ_SECONDS:-60}
jobs=$(nproc 2>/dev/null || echo 2)
target=ConfOldFileFuzz

mkdir -p build-fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAWLEX_FUZZ=ON \
  -DTRAWLEX_TESTS=OFF > build-fuzz/configure.log 2>&1 || { cat build-fuzz/configure.log; exit 1; }
cmake --build build-fuzz -j "$jobs" --target "$target"

# The corpus grows while fuzzing; the seeds in the source tree stay as they are.
corpus=build-fuzz/corpus-conf
rm -rf "$corpus" build-fuzz/artifacts
mkdir -p "$corpus" build-fuzz/artifacts
cp tests/fuzz/corpus-conf/* "$corpus"/

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== Fuzzing the configuration file loader ($runs inputs, at most $seconds s) =="
"build-fuzz/tests/fuzz/$target" -runs="$runs" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=4096 -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/ "$corpus"
