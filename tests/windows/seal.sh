#!/usr/bin/env bash
# Sealing under wine: trawlex-seal.exe makes a store, trawlex.exe seals with it, and the Linux
# trawlex-verify checks seal and chain; a file sealed by the Linux programs passes
# trawlex-verify.exe; a store that others can read is refused.
#   seal.sh WINE TRAWLEX_EXE SEAL_EXE VERIFY_EXE UTILITY_EXE [LINUX_VERIFY] [LINUX_TRAWLEX]
set -uo pipefail
wine=$1 trawlex=$2 seal=$3 windows_verify=$4 utility=$5 linux_verify=${6:-} linux_trawlex=${7:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/trawlex-wine-seal.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
until=$(date -u -d '+1 day' +%Y-%m-%d)

export TRAWLEX_SEAL_DIR
TRAWLEX_SEAL_DIR=$(winpath "$work/store")
"$wine" "$seal" init --until "$until" > "$work/init" 2>&1 || fail "trawlex-seal.exe init: $(cat "$work/init")"
grep -q '^trawlex-seal-2 [0-9a-f]\{16\} [^ ]* ' "$work/init" || fail "no verification key: $(cat "$work/init")"
for n in 1 2 3; do
  "$wine" "$trawlex" --target "$(winpath "$work/out")" --module os --datatype sample --interval PT15M \
    --timeout PT20S --exe "$(winpath "$utility")" --args "echo $n" > "$work/run" 2>&1 ||
    fail "trawlex.exe run $n: $(cat "$work/run")"
done
[ "$(grep -l '^@SEAL: ' "$work"/out/*.data | wc -l)" = 3 ] || fail "not every file is sealed"
if [ -n "$linux_verify" ]; then
  "$linux_verify" --seal-key "$work/store/verification.key" "$work/out" > "$work/verify" 2>&1 ||
    fail "the Linux trawlex-verify refuses the seals: $(cat "$work/verify")"
fi
"$wine" "$windows_verify" --seal-key "$(winpath "$work/store/verification.key")" "$(winpath "$work/out")" \
  > "$work/verify" 2>&1 || fail "trawlex-verify.exe refuses: $(tr -d '\r' < "$work/verify")"

# The other way round: sealed on Linux, checked by trawlex-verify.exe.
if [ -n "$linux_trawlex" ]; then
  linux_seal=$(dirname "$linux_trawlex")/../tools/trawlex-seal/trawlex-seal
  TRAWLEX_SEAL_DIR=$work/linux-store
  "$linux_seal" init --until "$until" > /dev/null || fail "Linux trawlex-seal init"
  "$linux_trawlex" --target "$work/linux" --module os --datatype df --interval PT15M --timeout PT20S \
    --exe /bin/echo --args linux > /dev/null || fail "Linux trawlex"
  "$wine" "$windows_verify" --seal-key "$(winpath "$work/linux-store/verification.key")" "$(winpath "$work/linux")" \
    > "$work/verify" 2>&1 || fail "trawlex-verify.exe refuses a Linux seal: $(tr -d '\r' < "$work/verify")"
  # A store that other accounts can read (wine maps the mode bits to the access list) is refused.
  chmod 755 "$work/linux-store"
  TRAWLEX_SEAL_DIR=$(winpath "$work/linux-store")
  "$wine" "$trawlex" --target "$(winpath "$work/loose")" --module os --datatype sample --interval PT15M \
    --timeout PT20S --exe "$(winpath "$utility")" --args "echo loose" > "$work/run" 2>&1
  status=$?
  [ "$status" = 2 ] || fail "a loose store: exit $status"
  grep -q 'can be read or changed by other accounts' "$work/run" || fail "a loose store: $(tr -d '\r' < "$work/run")"
  grep -q '^@SEAL: ' "$work"/loose/*.data && fail "a loose store sealed"
fi
[ "$failures" = 0 ] && echo "Sealing under wine: passed"
exit "$failures"
