#!/usr/bin/env bash
# Installs what is missing, builds, runs one real collection with the example configuration
# (its target changed to build/demo-data in the checkout, so that the run itself needs no
# privileges), prints the data log and verifies it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > build.configure.log 2>&1 || { cat build.configure.log; exit 1; }
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target trawlex trawlex-verify

# The example's target is /var/lib/trawlex/data. Loading a configuration creates the folder
# it names even when --target overrides it, so the demonstration takes a copy of the file
# with its own folder instead.
output=$PWD/build/demo-data
configuration=build/demo.conf
sed "s|\"/var/lib/trawlex/data\"|\"$output\"|" examples/trawlex.conf > "$configuration"
grep -qF "\"$output\"" "$configuration" || { echo "no target folder in examples/trawlex.conf"; exit 1; }

echo "== build/collector/trawlex -c $configuration (examples/trawlex.conf with the target $output) =="
status=0
./build/collector/trawlex -c "$configuration" || status=$?
echo "(exit code $status)"
[ "$status" -eq 0 ] || exit "$status"

newest=$(ls -t "$output"/*.data | head -n 1)
echo "== $newest =="
cat "$newest"
echo "== Verification =="
./build/tools/trawlex-verify/trawlex-verify "$newest"
