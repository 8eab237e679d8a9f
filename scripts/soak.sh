#!/usr/bin/env bash
# The long soak of the collector (the test command runs a short one, CollectorSoakTest):
#   1. SOAK_SEQUENTIAL (2000) runs of the trawlex program one after another into one folder;
#   2. two streams of SOAK_CONCURRENT (500) runs each at the same time into one other folder;
#   3. one long-lived process (tests/helpers/collector_runner) doing SOAK_IN_PROCESS (2000)
#      collections while its descriptors, threads and resident memory are sampled;
#   4. the long cases the test command leaves out (gzip positions beyond 4 GiB, FileTest).
# Every run must succeed, every collection land as exactly one file that trawlex-verify
# accepts, no ".make" file may remain, and the long-lived process must not grow.
set -euo pipefail
cd "$(dirname "$0")/.."

sequential=${SOAK_SEQUENTIAL:-2000}
concurrent=${SOAK_CONCURRENT:-500}
inProcess=${SOAK_IN_PROCESS:-2000}
jobs=$(nproc 2>/dev/null || echo 2)

mkdir -p build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > build/configure.log 2>&1 || { cat build/configure.log; exit 1; }
cmake --build build -j "$jobs" --target trawlex trawlex-verify collector_runner FileTest
trawlex=$PWD/build/collector/trawlex
verify=$PWD/build/tools/trawlex-verify/trawlex-verify
runner=$PWD/build/test-helpers/collector_runner
filetest=$PWD/build/tests/FileTest

work=$(mktemp -d /tmp/trawlex-soak-XXXXXX)
trap 'rm -rf "$work"' EXIT
export TRAWLEX_REGISTRY_DIR=$work/registry

fail() { echo "SOAK FAILED: $*" >&2; exit 1; }
now() { date +%s.%N; }
took() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }'; }

# One run of the program: /bin/echo prints the tag and the number, which become the data.
collect() {
  "$trawlex" --target "$1" --module soak --datatype sample --interval PT1H --timeout PT30S \
    --exe /bin/echo --args "$2 $3"
}

# Checks a folder: no working file, COUNT ".data" files that all verify, and every data text
# "TAG i" (i from 0) of the given tags exactly once.
check_folder() {
  local folder=$1 count=$2; shift 2
  local make_files data_files
  make_files=$(find "$folder" -name '*.make' | wc -l)
  [ "$make_files" -eq 0 ] || fail "$make_files working files left in $folder"
  data_files=$(find "$folder" -name '*.data' | wc -l)
  [ "$data_files" -eq "$count" ] || fail "$data_files data files in $folder, expected $count"
  find "$folder" -name '*.data' -print0 | xargs -0 "$verify" > "$work/verify.out" \
    || fail "trawlex-verify: $(grep -v ': OK$' "$work/verify.out" | head -5)"
  find "$folder" -name '*.data' -print0 | xargs -0 awk 'found { print; found = 0 } /^@DATA:$/ { found = 1 }' \
    | sort > "$work/texts"
  local tag expected=$work/expected
  : > "$expected"
  for tag in "$@"; do seq 0 $((count / $# - 1)) | sed "s/^/$tag /" >> "$expected"; done
  sort -o "$expected" "$expected"
  cmp -s "$work/texts" "$expected" || fail "data texts in $folder differ: $(diff "$expected" "$work/texts" | head -5)"
}

echo "== $sequential runs of trawlex one after another =="
start=$(now)
for ((i = 0; i < sequential; i++)); do
  out=$(collect "$work/sequential" S "$i") || fail "run $i exited with $?: $out"
  [ -z "$out" ] || fail "run $i printed: $out"
done
echo "runs: $(took "$start")"
check_folder "$work/sequential" "$sequential" S
echo "checked: $sequential files verify, none left \".make\""

echo "== 2 x $concurrent runs of trawlex at the same time into one folder =="
stream() {
  local i out
  for ((i = 0; i < concurrent; i++)); do
    out=$(collect "$work/concurrent" "$1" "$i") || { echo "$1 run $i exited with $?: $out"; return 1; }
    [ -z "$out" ] || { echo "$1 run $i printed: $out"; return 1; }
  done
}
start=$(now)
stream A > "$work/a.out" 2>&1 & a=$!
stream B > "$work/b.out" 2>&1 & b=$!
wait "$a" || fail "stream A: $(cat "$work/a.out")"
wait "$b" || fail "stream B: $(cat "$work/b.out")"
echo "runs: $(took "$start")"
check_folder "$work/concurrent" $((2 * concurrent)) A B
echo "checked: $((2 * concurrent)) files verify, none left \".make\""

echo "== $inProcess collections in one long-lived process =="
start=$(now)
"$runner" "$work/in-process" /bin/echo P "$inProcess" > "$work/runner.out" 2>&1 < /dev/null &
pid=$!
samples=0 max_fd=0 max_threads=0 early_rss=0 last_rss=0
while [ -d "/proc/$pid/task" ]; do
  fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l || true)
  threads=$(ls "/proc/$pid/task" 2>/dev/null | wc -l || true)
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
  # A leaving process closes its descriptors and frees its memory: only complete samples count.
  if [ -n "$rss" ] && [ "$fds" -ge 3 ] && [ -d "/proc/$pid/task" ] && ! grep -q '^State:.*[ZX]' "/proc/$pid/status" 2>/dev/null; then
    samples=$((samples + 1))
    ((fds > max_fd)) && max_fd=$fds
    ((threads > max_threads)) && max_threads=$threads
    ((samples == 5)) && early_rss=$rss
    last_rss=$rss
  fi
  sleep 0.2
done
wait "$pid" || fail "collector_runner: $(cat "$work/runner.out")"
[ "$(cat "$work/runner.out")" = "done" ] || fail "collector_runner: $(cat "$work/runner.out")"
echo "runs: $(took "$start")"
echo "samples $samples: descriptors at most $max_fd, threads at most $max_threads, resident ${early_rss} KiB early, ${last_rss} KiB late"
((max_fd <= 10)) || fail "descriptors grew to $max_fd"
((max_threads <= 3)) || fail "threads grew to $max_threads"
((early_rss == 0 || last_rss <= early_rss + 4096)) || fail "resident memory grew from $early_rss KiB to $last_rss KiB"
check_folder "$work/in-process" "$inProcess" P
echo "checked: $inProcess files verify, none left \".make\""
echo "== The long cases of the unit tests =="
start=$(now)
"$filetest" --gtest_also_run_disabled_tests --gtest_filter='*.DISABLED_*' > "$work/long.out" 2>&1 || fail "long unit test cases: $(tail -20 "$work/long.out")"
echo "runs: $(took "$start")"
echo "== Soak passed =="
