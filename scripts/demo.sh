#!/usr/bin/env bash
# Installs what is missing, builds, runs one demonstration collection into a temporary folder
# and verifies the signed data log it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > build.configure.log 2>&1 || { cat build.configure.log; exit 1; }
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target demo-collection trawlex-verify

target=$(mktemp -d /tmp/trawlex-demo-XXXXXX)
utility="$target/report.sh"
cat > "$utility" <<'SCRIPT'
#!/bin/sh
echo "host: $(uname -n)"
echo "kernel: $(uname -sr)"
df -k /
SCRIPT
chmod +x "$utility"

./build/examples/demo-collection/demo-collection "$target/data" "$utility"
echo "== Collected into $target/data =="
for file in "$target"/data/*.data; do
  echo "-- $file"
  cat "$file"
done
echo "== Verification =="
./build/tools/trawlex-verify/trawlex-verify "$target"/data/*.data
