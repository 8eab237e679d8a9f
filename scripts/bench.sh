#!/usr/bin/env bash
# Builds the benchmark programs (Release) and runs every bench-* program found, then repeats
# every figure with its target ("met" or "MISSED") in a summary. Each figure is measured
# against its baseline in the same run; the exit code is 1 when one target is missed.
# BENCH_RUNS sets the runs of the start-up figures (200 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

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
log="$folder/bench.log"
: > "$log"
while IFS= read -r program; do
    echo "== $(basename "$program") =="
    arguments=()
    case "$(basename "$program")" in
        bench-trawlex) arguments=("${BENCH_RUNS:-200}") ;;
        bench-datalog) arguments=("$(if [ -d /dev/shm ]; then echo /dev/shm; else echo .; fi)") ;;  # the write path, not the disk
    esac
    "$program" "${arguments[@]}" 2>&1 | tee -a "$log" || status=1
done < <(find "$folder" -type f -perm -u+x -name 'bench-*' | sort)

echo "== Summary (medians; wall-clock figures spread with the machine's load) =="
grep -E '(: met|: MISSED|: missed)' "$log" || true
if grep -qE ': (MISSED|missed)' "$log"; then
    status=1
fi
exit $status
