#!/usr/bin/env bash
# Builds the tests of the code that runs on, or is shared between, several threads (threads
# and locks, the hub, the logger, the process runner, the data log's parallel digest and the
# collector) under ThreadSanitizer in build-tsan/, and runs them. Only those test programs
# and the helper programs they start are built. Any ThreadSanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
tests=(ThreadTest ThreadLockTest ImsTest LoggerTest ProcessToolsTest DataLogTest CollectorTest)

mkdir -p build-tsan
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAWLEX_TSAN=ON \
  > build-tsan/configure.log 2>&1 || { cat build-tsan/configure.log; exit 1; }
cmake --build build-tsan -j "$jobs" --target "${tests[@]}"

# halt_on_error ends the test program at the first report with a non-zero exit.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
pattern="^($(IFS='|'; echo "${tests[*]}"))\$"
(cd build-tsan && ctest --output-on-failure -j "$jobs" -R "$pattern")
