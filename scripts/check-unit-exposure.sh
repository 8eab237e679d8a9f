#!/usr/bin/env bash
# Fails when systemd-analyze rates a service unit's exposure above a limit:
#   bash scripts/check-unit-exposure.sh examples/systemd/trawlex-df.service 2.5
# Exits 77 (a skip) where systemd-analyze or its offline mode is missing.
set -uo pipefail
unit=$1
limit=$2

if ! command -v systemd-analyze > /dev/null 2>&1; then
  echo "systemd-analyze not found: not checked"
  exit 77
fi
report=$(systemd-analyze security --offline=true "$unit" 2>&1)
status=$?
figure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9][0-9]*\(\.[0-9]*\)\?\).*/\1/p' <<< "$report" | tail -n 1)
if [ -z "$figure" ]; then
  if grep -qi -- "unrecognized option\|unknown option" <<< "$report"; then
    echo "systemd-analyze has no offline mode: not checked"
    exit 77
  fi
  echo "$report"
  echo "FAIL: no exposure figure for $unit (systemd-analyze exited with $status)"
  exit 1
fi
if awk -v figure="$figure" -v limit="$limit" 'BEGIN { exit !(figure + 0 > limit + 0) }'; then
  grep -F "✗" <<< "$report"
  echo "FAIL: exposure of $unit is $figure, more than $limit"
  exit 1
fi
echo "exposure of $unit: $figure (at most $limit)"
