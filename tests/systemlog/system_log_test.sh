#!/usr/bin/env bash
# The log records of the built trawlex in the system log, each received by a real receiver in a
# mount namespace of the test's own: the journal's native protocol on the journal's socket
# (checked field by field), and syslog(3) through a real rsyslogd on /dev/log (skipped with
# its reason when rsyslogd is not there or cannot run). Standard output and exit codes stay
# those of a run without the system log.
#
#   system_log_test.sh TRAWLEX RECEIVER.py
set -euo pipefail

trawlex=$(realpath "$1")
receiver=$2

if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2> /dev/null; then
  echo "SKIP: needs root and mount namespaces (unshare -m)"
  exit 77
fi

work=$(mktemp -d /tmp/trawlex-systemlog.XXXXXX)
trap 'rm -rf "$work"' EXIT
export TRAWLEX_REGISTRY_DIR=$work/registry
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

printf '#!/bin/sh\necho "Filesystem 1K-blocks"\n' > "$work/util.sh"
printf '#!/bin/sh\necho noisy\nexit 3\n' > "$work/failing.sh"
printf '#!/bin/sh\nsleep 30\n' > "$work/slow.sh"
printf '#!/bin/sh\necho data\necho "step 1" >&2\necho "step 2" >&2\n' > "$work/chatty.sh"
printf '#!/bin/sh\n"${0%%-fails.sh}.sh"\nexit 4\n' > "$work/chatty-fails.sh"
chmod 755 "$work"/*.sh

# A collection of source Trawlex.os.<type> into the target; further words follow.
collect() {
  local type=$1 exe=$2
  shift 2
  "$trawlex" --target "$work/out" --module os --datatype "$type" --interval PT15M --timeout PT1S \
    --exe "$exe" "$@" --args -k
}

# In a namespace of its own, gives the path a fresh tmpfs at its deepest existing folder: there
# links lead to what the folder held, except to the entry on the way to the path, which the
# test makes. Nothing outside the namespace changes.
shadow() {
  local path=$1 kept=$2 dir entry
  dir=$(dirname "$path")
  while [ ! -d "$dir" ]; do dir=$(dirname "$dir"); done
  local own=${path#"$dir"/}
  own=${own%%/*}
  mkdir -p "$kept"
  mount --rbind "$dir" "$kept"
  mount -t tmpfs tmpfs "$dir"
  for entry in "$kept"/* "$kept"/.[!.]*; do
    if { [ -e "$entry" ] || [ -L "$entry" ]; } && [ "$(basename "$entry")" != "$own" ]; then
      ln -s "$entry" "$dir/"
    fi
  done
  mkdir -p "$(dirname "$path")"
}

# Waits (bounded by tries, not by time) until the file has at least the given number of lines.
wait_lines() {
  local file=$1 count=$2 tries
  for tries in $(seq 1 300); do
    if [ -f "$file" ] && [ "$(wc -l < "$file")" -ge "$count" ]; then return 0; fi
    sleep 0.05
  done
  return 1
}

# ---- Standard output and exit codes are those of a run without the system log -------------
reference() {
  local log=$1
  shift
  set +e
  TRAWLEX_LOG=$log collect "$@" > "$work/stdout.$log" 2>&1
  echo "exit $?" >> "$work/stdout.$log"
  set -e
}
compare_runs() {
  reference off "$@"
  reference syslog "$@"
  cmp -s "$work/stdout.off" "$work/stdout.syslog" || fail "output or exit code differ for $*"
}
compare_runs cmp "$work/util.sh"
compare_runs cmp "$work/failing.sh"
compare_runs cmp "$work/slow.sh"
compare_runs cmp "$work/missing.sh"

# ---- The journal ---------------------------------------------------------------------------
export -f collect shadow wait_lines
export trawlex work receiver
journal_records=$work/journal.jsonl
unshare -m bash -euo pipefail -c '
  mount --make-rprivate /
  shadow /run/systemd/journal/socket "$work/run-kept"
  python3 "$receiver" /run/systemd/journal/socket "$work/journal.jsonl" "$work/journal.ready" &
  receiver_pid=$!
  trap "kill $receiver_pid" EXIT
  for tries in $(seq 1 300); do [ -e "$work/journal.ready" ] && break; sleep 0.05; done
  # A quiet run: no record, no library loaded, no socket opened (a sanitizer build checks no
  # leaks under strace: it cannot).
  ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -e trace=execve,openat,connect,socket -o "$work/quiet.trace" bash -c "collect quiet \"$work/util.sh\"" > /dev/null
  # One record per decision at the info level: stored, skipped by a rule, timed out.
  collect df "$work/util.sh" --debug info > /dev/null
  collect df "$work/failing.sh" --skip-onerror --debug info > /dev/null
  collect df "$work/util.sh" --skip-onregex "^Filesystem" --debug info > /dev/null
  collect df "$work/slow.sh" > /dev/null || true
  # The utility'"'"'s standard error: a record per line instead of trawlex'"'"'s own standard error,
  # unless TRAWLEX_UTILITY_STDERR=pass keeps it there.
  collect chatty "$work/chatty.sh" --debug info > /dev/null 2> "$work/chatty.err"
  collect chatty "$work/chatty.sh" > /dev/null 2>> "$work/chatty.err"
  collect chatty "$work/chatty-fails.sh" > /dev/null 2>> "$work/chatty.err" || true
  TRAWLEX_UTILITY_STDERR=pass collect chatty "$work/chatty.sh" --debug info > /dev/null 2> "$work/passed.err"
  # --debug none: nothing at all.
  collect df "$work/slow.sh" --debug none > /dev/null || true
  wait_lines "$work/journal.jsonl" 11 || true
' || fail "the journal namespace failed"

if grep -q 'libsystemd' "$work/quiet.trace"; then fail "a quiet run loaded libsystemd"; fi
grep -q "execve(\"$trawlex\"" "$work/quiet.trace" || fail "the quiet run was not traced"
# trawlex's own calls: every traced process but those that started another program (the shell
# around it, the utility).
others=" $(grep -E '^[0-9]+ +execve\(' "$work/quiet.trace" | grep -vF "execve(\"$trawlex\"" | awk '{print $1}' | tr '\n' ' ')"
sockets=$(awk -v others="$others" '$2 ~ /^(connect|socket)\(/ && index(others, " " $1 " ") == 0' "$work/quiet.trace")
if [ -n "$sockets" ]; then fail "a quiet run opened a socket: $sockets"; fi
[ ! -s "$work/chatty.err" ] || fail "the utility's standard error passed through: $(cat "$work/chatty.err")"
[ "$(cat "$work/passed.err")" = $'step 1\nstep 2' ] || fail "TRAWLEX_UTILITY_STDERR=pass: '$(cat "$work/passed.err")'"
python3 - "$journal_records" "$work/out" "$work/chatty.sh" <<'PY' || fail "journal records"
import json, sys
records = [json.loads(line) for line in open(sys.argv[1])]
target = sys.argv[2]
def check(condition, what):
    if not condition:
        print("journal:", what, json.dumps(records, indent=1))
        sys.exit(1)
for r in records:
    check(r.get("SYSLOG_IDENTIFIER") == "trawlex", "identifier")
    check(r.get("TRAWLEX_TARGET") == target, "target field")
df = [r for r in records if r["TRAWLEX_SOURCE"] == "Trawlex.os.df"]
stored = [r for r in df if r["MESSAGE"].startswith("Stored ")]
check(len(stored) == 1, "one stored record")
check(stored[0]["PRIORITY"] == "6", "stored is info")
check(stored[0]["TRAWLEX_FILE"].startswith(target + "/Trawlex-Trawlex.os.df-"), "file field")
check('"' + stored[0]["TRAWLEX_FILE"] + '": exit value 0' in stored[0]["MESSAGE"], "file in the message")
check(stored[0]["MESSAGE"].endswith("not sealed: no seal store"), "seal state")
skipped = [r["MESSAGE"] for r in df if r["MESSAGE"].startswith("Skipped ")]
check(len(skipped) == 2, "two skips")
check("skip-on-error rule" in skipped[0] and "exit value 3" in skipped[0], "skip on error: " + skipped[0])
check(skipped[1] == 'Skipped by the skip-on-regex rule: the output matches "^Filesystem"', "skip on regex")
timed = [r for r in df if "timed out after PT1S and was killed" in r["MESSAGE"]]
check(len(timed) == 1 and timed[0]["PRIORITY"] == "3", "one time-out record, an error")
check(len(df) == 4,
      "nothing more (quiet runs and --debug none leave nothing)")
chatty = [(r["PRIORITY"], r["MESSAGE"].replace("-fails.sh", ".sh").replace(sys.argv[3], "UTILITY")) for r in records
          if r["TRAWLEX_SOURCE"] == "Trawlex.os.chatty" and r["MESSAGE"].startswith("Standard error")]
# Information after a run that went well (heard at --debug info only), a warning after a failed one.
check(chatty == [("6", 'Standard error of "UTILITY": step 1'), ("6", 'Standard error of "UTILITY": step 2'),
                 ("4", 'Standard error of "UTILITY": step 1'), ("4", 'Standard error of "UTILITY": step 2')],
      "standard error records: " + repr(chatty))
PY

# ---- syslog through rsyslogd -----------------------------------------------------------------
rsyslogd=$(command -v rsyslogd || true)
if [ -z "$rsyslogd" ]; then
  echo "SKIP (syslog part): rsyslogd is not installed"
else
  cat > "$work/rsyslog.conf" <<CONF
module(load="imuxsock" SysSock.Name="/dev/log")
global(workDirectory="$work")
template(name="line" type="string" string="%programname%|%syslogseverity%|%msg%\n")
*.* action(type="omfile" file="$work/syslog.out" template="line")
CONF
  export rsyslogd
  unshare -m bash -euo pipefail -c '
    mount --make-rprivate /
    shadow /dev/log "$work/dev-kept"
    "$rsyslogd" -n -f "$work/rsyslog.conf" -i "$work/rsyslogd.pid" > "$work/rsyslogd.out" 2>&1 &
    daemon=$!
    trap "kill $daemon" EXIT
    for tries in $(seq 1 300); do [ -S /dev/log ] && break; sleep 0.05; done
    [ -S /dev/log ] || { touch "$work/syslog.skipped"; exit 0; }
    collect df "$work/failing.sh" --skip-onerror --debug info > /dev/null
    collect df "$work/slow.sh" --debug none > /dev/null || true
    TRAWLEX_LOG=syslog collect df "$work/util.sh" --skip-onregex "^File" --debug info > /dev/null
    # A run record that cannot be written is a warning.
    TRAWLEX_METRICS_DIR="$work/no-metrics" collect metrics "$work/util.sh" > /dev/null
    wait_lines "$work/syslog.out" 3 || true
  ' || fail "the syslog namespace failed"
  if [ -f "$work/syslog.skipped" ]; then
    echo "SKIP (syslog part): rsyslogd did not start: $(cat "$work/rsyslogd.out")"
  else
    grep -q '^trawlex|' "$work/syslog.out" || fail "no syslog record: $(cat "$work/syslog.out" 2>&1)"
    grep -q '^trawlex|6|.*Skipped by the skip-on-error rule: ".*failing.sh" exited with exit value 3$' \
      "$work/syslog.out" || fail "skip record in syslog: $(cat "$work/syslog.out")"
    grep -q '^trawlex|6|.*Skipped by the skip-on-regex rule: the output matches "^File"$' "$work/syslog.out" ||
      fail "syslog channel record: $(cat "$work/syslog.out")"
    grep '^trawlex|4|' "$work/syslog.out" |
      grep -qF "Cannot write the run record in \"$work/no-metrics\": \"$work/no-metrics\" does not exist" || fail "run record warning in syslog: $(cat "$work/syslog.out")"
    # Nothing else: the timed-out run with --debug none left no error record.
    [ "$(grep -c '^trawlex|' "$work/syslog.out")" -eq 3 ] || fail "two skips and a warning only: $(cat "$work/syslog.out")"
  fi
fi

[ "$failures" -eq 0 ] && echo "system log: all passed"
exit $((failures == 0 ? 0 : 1))
