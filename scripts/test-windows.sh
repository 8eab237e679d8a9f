#!/usr/bin/env bash
# The Windows stage: cross-builds trawlex.exe, trawlex-verify.exe and the tests with
# mingw-w64 into build-windows/, and runs them under wine in a throwaway prefix there.
# Data logs are checked across platforms with the Linux trawlex, trawlex-seal and trawlex-verify
# of build/.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
root=$PWD

# The Linux programs that make and check data logs and seals across platforms (only their
# targets, so that this stage also runs alone in a fresh clone).
if [ ! -f build/CMakeCache.txt ]; then
  mkdir -p build
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > build.configure.log 2>&1 || { cat build.configure.log; exit 1; }
fi
cmake --build build -j "$jobs" --target trawlex-verify trawlex trawlex-seal > /dev/null

mkdir -p build-windows
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DTRAWLEX_LINUX_VERIFY="$root/build/tools/trawlex-verify/trawlex-verify" \
  -DTRAWLEX_LINUX_TRAWLEX="$root/build/collector/trawlex" \
  > build-windows.configure.log 2>&1 || { cat build-windows.configure.log; exit 1; }
cmake --build build-windows -j "$jobs"

# Wine is prepared before ctest, so that no test waits for wine's services to come up.
export WINEPREFIX=$root/build-windows/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
stop_wine() { wineserver -k > /dev/null 2>&1 || true; }
trap stop_wine EXIT
wineserver -p > /dev/null 2>&1
wineboot -i > /dev/null 2>&1

echo "== Windows tests under wine =="
(cd build-windows && ctest --output-on-failure -j "$jobs")
echo "Windows stage: $(( $(date +%s) - started )) s"
