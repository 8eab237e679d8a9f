#!/usr/bin/env bash
# Installs what is missing, builds, runs one real collection with the example configuration
# (its target folder is /var/tmp/trawlex/data), prints the data log and verifies it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > build.configure.log 2>&1 || { cat build.configure.log; exit 1; }
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target trawlex trawlex-verify

output=/var/tmp/trawlex/data
echo "== build/collector/trawlex -c examples/trawlex.conf =="
status=0
./build/collector/trawlex -c examples/trawlex.conf || status=$?
echo "(exit code $status)"
[ "$status" -eq 0 ] || exit "$status"

newest=$(ls -t "$output"/*.data | head -n 1)
echo "== $newest =="
cat "$newest"
echo "== Verification =="
./build/tools/trawlex-verify/trawlex-verify "$newest"
