#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# in build-fuzz/ and runs each one for a fixed number of inputs, starting from a copy of its seed
# corpus tests/fuzz/corpus-<name>/. Fails on any crash, sanitizer report, leak, out-of-memory or
# time-out; the input that caused it is kept in build-fuzz/artifacts/.
#   FUZZ_RUNS     inputs per target (default 20000)
#   FUZZ_SECONDS  cap per target in seconds (default 12), so that all targets together stay
#                 within two minutes on a slow or busy machine
#   FUZZ_SEED     the fuzzer's random seed (default 1, so that a run can be repeated; 0 picks
#                 a new one each time, for exploring)
#   FUZZ_TARGETS  blank-separated target names to run (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${FUZZ_RUNS:-20000}
seconds=${FUZZ_SECONDS:-12}
seed=${FUZZ_SEED:-1}
jobs=$(nproc 2>/dev/null || echo 2)

# Target and the name of its seed corpus.
all_targets=(
  "ConfOldFileFuzz conf"
  "CmdParserFuzz cmdline"
  "TimeSpanFuzz timespan"
  "DateTimeFuzz datetime"
  "UnicodeFuzz utf16"
  "MatchGlobFuzz glob"
  "ParamStreamFuzz paramstream"
  "ConfNodeFuzz confnode"
  "DataLogCheckFuzz datalog"
)
selected=()
for entry in "${all_targets[@]}"; do
  name=${entry%% *}
  if [[ -z "${FUZZ_TARGETS:-}" || " ${FUZZ_TARGETS} " == *" $name "* ]]; then
    selected+=("$entry")
  fi
done
if [[ ${#selected[@]} -eq 0 ]]; then
  echo "No fuzz target selected by FUZZ_TARGETS=\"${FUZZ_TARGETS:-}\"" >&2
  exit 1
fi

mkdir -p build-fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAWLEX_FUZZ=ON \
  -DTRAWLEX_TESTS=OFF > build-fuzz/configure.log 2>&1 || { cat build-fuzz/configure.log; exit 1; }
# Only the fuzz targets and the libraries they link.
cmake --build build-fuzz -j "$jobs" --target $(for entry in "${selected[@]}"; do echo "${entry%% *}"; done)

rm -rf build-fuzz/corpus build-fuzz/artifacts
mkdir -p build-fuzz/artifacts
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

started=$SECONDS
for entry in "${selected[@]}"; do
  target=${entry%% *}
  seeds=${entry#* }
  # The corpus grows while fuzzing; the seeds in the source tree stay as they are.
  corpus=build-fuzz/corpus/$seeds
  mkdir -p "$corpus"
  cp tests/fuzz/corpus-"$seeds"/* "$corpus"/
  echo "== $target: $runs inputs, at most $seconds s (seeds: tests/fuzz/corpus-$seeds) =="
  "build-fuzz/tests/fuzz/$target" -runs="$runs" -max_total_time="$seconds" -seed="$seed" -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$target-" "$corpus" \
    > "build-fuzz/$target.log" 2>&1 || {
    tail -n 60 "build-fuzz/$target.log"
    echo "FAILED: $target (log: build-fuzz/$target.log, input: build-fuzz/artifacts/)" >&2
    exit 1
  }
  grep -E '^stat::number_of_executed_units|^Done' "build-fuzz/$target.log" | tr '\n' ' '
  echo
done
echo "All ${#selected[@]} fuzz targets passed in $((SECONDS - started)) s."
