#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once plainly, once under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local folder=$1; shift
  cmake -S . -B "$folder" "$@" > "$folder.configure.log" 2>&1 || { cat "$folder.configure.log"; exit 1; }
  cmake --build "$folder" -j "$jobs"
  (cd "$folder" && ctest --output-on-failure -j "$jobs")
}

mkdir -p build build-sanitize
echo "== Tests =="
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== Tests under AddressSanitizer and UndefinedBehaviorSanitizer =="
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTRAWLEX_SANITIZE=ON
echo "== Tests under ThreadSanitizer =="
bash scripts/tsan.sh
echo "== Fuzzing =="
bash scripts/fuzz.sh
echo "== Windows build under wine =="
bash scripts/test-windows.sh
