#!/usr/bin/env bash
# Builds the benchmark programs (Release) and runs every bench-* program found.
set -euo pipefail
cd "$(dirname "$0")/.."

folder=${BENCH_BUILD_DIR:-build-bench}
mkdir -p "$folder"
cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=Release -DTRAWLEX_TESTS=OFF > "$folder/configure.log" 2>&1 \
    || { cat "$folder/configure.log"; exit 1; }

# Build only the benchmark targets, so that unrelated parts need not build.
targets=$(cmake --build "$folder" --target help | grep -oE '(^|[. ])bench-[A-Za-z0-9_.+-]+' | sed 's/^[. ]*//' | sort -u)
if [ -z "$targets" ]; then
    echo "No benchmark targets found."
    exit 1
fi
for target in $targets; do
    cmake --build "$folder" -j 2 --target "$target"
done

status=0
while IFS= read -r program; do
    echo "== $(basename "$program") =="
    "$program" || status=1
done < <(find "$folder" -type f -perm -u+x -name 'bench-*' | sort)
exit $status
