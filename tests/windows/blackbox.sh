#!/usr/bin/env bash
# Black-box tests of trawlex.exe under wine:
#   blackbox.sh WINE TRAWLEX_EXE UTILITY_EXE [LINUX_VERIFY] [VERIFY_EXE] [LINUX_TRAWLEX] [SHORTCUT_EXE] [LINKS_EXE] [ACL_EXE]
# Help and version; one collection that the Linux trawlex-verify accepts (and the Windows
# verifier too); a failing utility with its error block; a time-out after which the
# utility's own child is gone; a configuration file; one whose target directory and utility
# are shortcuts (made by SHORTCUT_EXE), and one whose shortcut leads nowhere; a log of the
# Linux trawlex that trawlex-verify.exe accepts; a link to a folder outside that the file tools
# never go through (LINKS_EXE); the access lists of a data log and a folder that trawlex made
# (read by ACL_EXE), a link named like a working file that the finaliser leaves, and an input
# file that is a link; a target below a mount point, and one through a link.
set -uo pipefail
wine=$1 trawlex=$2 utility=$3 linux_verify=${4:-} windows_verify=${5:-} linux_trawlex=${6:-} shortcut=${7:-} links=${8:-} acl=${9:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/trawlex-wine.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
# A Unix path as wine shows it on its Z: drive (which maps /).
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
run() { "$wine" "$trawlex" "$@" > "$work/out" 2> "$work/err"; echo $? > "$work/rc"; tr -d '\r' < "$work/out" > "$work/out.txt"; }
rc() { cat "$work/rc"; }
out() { cat "$work/out.txt"; }
data_files() { find "$1" -name '*.data' -type f 2>/dev/null | sort; }
settings() {
  echo --target "$(winpath "$1")" --module os --datatype sample --interval PT15M --timeout PT20S \
       --exe "$(winpath "$utility")"
}

# Help and version.
run --help
[ "$(rc)" = 0 ] || fail "help: exit $(rc)"
grep -q '^Usage: .*trawlex.exe \[options\]' "$work/out.txt" || fail "help: $(head -1 "$work/out.txt")"
grep -q -- '--exe <arg>' "$work/out.txt" || fail "help lacks --exe"
run --version
[ "$(rc)" = 0 ] || fail "version: exit $(rc)"
[ "$(out)" = "Version=6.3.0.0" ] || fail "version: '$(out)'"

# One collection; the data log verifies on both platforms.
target=$work/collect
# shellcheck disable=SC2046
run $(settings "$target") --args "echo one \"two words\""
[ "$(rc)" = 0 ] || fail "collection: exit $(rc), output '$(out)'"
files=$(data_files "$target")
if [ "$(echo "$files" | grep -c .)" != 1 ]; then
  fail "collection: data files '$files'"
else
  grep -q $'^@DATA:\r*$' "$files" || fail "collection: no data section"
  grep -q $'\r' "$files" && fail "collection: carriage returns in the data log"
  grep -q '^\[two words\]$' "$files" || fail "collection: arguments not passed: $(cat "$files")"
  if [ -n "$linux_verify" ]; then
    "$linux_verify" "$files" > "$work/verify" 2>&1 || fail "Linux trawlex-verify refuses: $(cat "$work/verify")"
  fi
  if [ -n "$windows_verify" ]; then
    "$wine" "$windows_verify" "$(winpath "$files")" > "$work/verify" 2>&1 ||
      fail "trawlex-verify.exe refuses: $(cat "$work/verify")"
  fi
fi

# A failing utility: the error block, exit code 8, the data log with the exit value.
target=$work/failing
# shellcheck disable=SC2046
run $(settings "$target") --args fail
expected="ERROR: \"$(winpath "$utility")\" with arguments \"fail\" exited with exit value 3"
[ "$(out)" = "$expected" ] || fail "failing utility: '$(out)' instead of '$expected'"
[ "$(rc)" = 8 ] || fail "failing utility: exit $(rc)"
files=$(data_files "$target")
[ -n "$files" ] && grep -q '^Exit-value=3$' $files || fail "failing utility: no exit value in '$files'"

# A time-out: the utility and the child it started are ended.
target=$work/slow
ticks=$work/ticks
# shellcheck disable=SC2046
run $(settings "$target") --timeout PT2S --args "spawn $(winpath "$ticks")"
[ "$(rc)" = 7 ] || fail "time-out: exit $(rc), output '$(out)'"
grep -q '^ERROR: Failed to start ' "$work/out.txt" || fail "time-out: '$(out)'"
[ -s "$ticks" ] || fail "time-out: the grandchild never ran"
# Gone once its file stops growing: no byte for a second (20 of its ticks), within 15 s.
size() { stat -c %s "$ticks" 2>/dev/null || echo 0; }
last=$(size) quiet=0
for ((step = 0; step < 60 && quiet < 4; step++)); do
  sleep 0.25
  now=$(size)
  if [ "$now" = "$last" ]; then quiet=$((quiet + 1)); else quiet=0 last=$now; fi
done
[ "$quiet" -ge 4 ] || fail "time-out: the grandchild still runs ($(size) bytes)"
[ -z "$(data_files "$target")" ] || fail "time-out: a data log was written"

# A configuration file gives every setting.
target=$work/from-conf
cat > "$work/trawlex.conf" <<CONF
trawlex (String) = "" {
  target (String) = "" {
    dir (DirName) = "$(winpath "$target")" { }
    module (String) = "conf" { }
    datatype (String) = "sample" { }
    interval (TimeSpan) = "PT15M" { }
    offset (TimeSpan) = "PT1M" { }
  }
  executable (String) = "" {
    path (FileName) = "$(winpath "$utility")" { }
    args (String) = "echo from-conf" { }
    timeout (TimeSpan) = "30S" { }
  }
}
CONF
run -c "$(winpath "$work/trawlex.conf")"
[ "$(rc)" = 0 ] || fail "configuration file: exit $(rc), output '$(out)'"
files=$(data_files "$target")
if [ -z "$files" ]; then
  fail "configuration file: no data log"
else
  grep -q '^source.module=conf$' "$files" || fail "configuration file: module not taken"
  grep -q '^\[from-conf\]$' "$files" || fail "configuration file: arguments not taken"
  if [ -n "$linux_verify" ]; then
    "$linux_verify" "$files" > /dev/null 2>&1 || fail "Linux trawlex-verify refuses the configured run's log"
  fi
fi

# Shortcuts in a configuration stand for their targets: the data log goes into the folder
# that the target directory's shortcut leads to, the utility's shortcut starts the utility.
# A shortcut whose folder is gone stays as it is, and is no folder to collect into.
# conf_with DIR EXE: a configuration file with these (Windows) paths.
conf_with() {
  cat <<CONF
trawlex (String) = "" {
  target (String) = "" {
    dir (DirName) = "$1" { }
    module (String) = "conf" { }
    datatype (String) = "linked" { }
    interval (TimeSpan) = "PT15M" { }
  }
  executable (String) = "" {
    path (FileName) = "$2" { }
    args (String) = "echo through-links" { }
    timeout (TimeSpan) = "PT30S" { }
  }
}
CONF
}
if [ -n "$shortcut" ]; then
  folder=$work/linked-folder
  mkdir -p "$folder" "$work/old-folder"
  "$wine" "$shortcut" "$(winpath "$work/data.lnk")" "$(winpath "$folder")" > /dev/null 2>&1 &&
    "$wine" "$shortcut" "$(winpath "$work/utility.lnk")" "$(winpath "$utility")" > /dev/null 2>&1 &&
    "$wine" "$shortcut" "$(winpath "$work/gone.lnk")" "$(winpath "$work/old-folder")" > /dev/null 2>&1 ||
    fail "shortcuts: the helper could not save them"
  rmdir "$work/old-folder"
  conf_with "$(winpath "$work/data.lnk")" "$(winpath "$work/utility.lnk")" > "$work/linked.conf"
  run -c "$(winpath "$work/linked.conf")"
  [ "$(rc)" = 0 ] || fail "shortcut configuration: exit $(rc), output '$(out)'"
  files=$(data_files "$folder")
  if [ "$(echo "$files" | grep -c .)" != 1 ]; then
    fail "shortcut configuration: data files in the linked folder '$files'"
  else
    grep -q '^\[through-links\]$' "$files" || fail "shortcut configuration: utility not run: $(cat "$files")"
  fi
  [ -f "$work/data.lnk" ] || fail "shortcut configuration: the shortcut file was replaced"

  conf_with "$(winpath "$work/gone.lnk")" "$(winpath "$utility")" > "$work/gone.conf"
  run -c "$(winpath "$work/gone.conf")"
  [ "$(rc)" = 2 ] || fail "dangling shortcut: exit $(rc), output '$(out)'"
  grep -q '^ERROR: Test_DirCouldNotBeCreated$' "$work/out.txt" || fail "dangling shortcut: '$(out)'"
  [ ! -e "$work/old-folder" ] || fail "dangling shortcut: the folder it named was made"
fi

# A link to a folder is listed as a link and emptying its folder leaves what it leads to.
# Wine cannot make links itself; it shows a POSIX link to a folder as a reparse point.
if [ -n "$links" ]; then
  mkdir -p "$work/links/outside" "$work/links/tree/sub"
  echo keep > "$work/links/outside/keep.txt"
  echo own > "$work/links/tree/sub/own.txt"
  ln -s ../../outside "$work/links/tree/sub/to-outside"
  "$wine" "$links" list "$(winpath "$work/links/tree/sub")" 2> /dev/null | tr -d '\r' > "$work/links.list"
  grep -qx 'to-outside dir link' "$work/links.list" || fail "links: listed as '$(cat "$work/links.list")'"
  grep -qx 'own.txt file -' "$work/links.list" || fail "links: the file listed as '$(cat "$work/links.list")'"
  "$wine" "$links" clear "$(winpath "$work/links/tree")" > /dev/null 2>&1
  [ -f "$work/links/outside/keep.txt" ] || fail "links: emptying a folder went through its link"
  [ ! -e "$work/links/tree/sub/own.txt" ] || fail "links: the folder's own file stayed"
fi

# What trawlex makes keeps other accounts out: only SYSTEM, Administrators and the account
# (S-1-5-21-...) may change it, anyone else reads at most, and nothing is given to Everyone
# (WD), whose read a file without its own list shows. Wine keeps no access lists: it shows the
# one that the file's Unix mode gives (Users count as the group there).
# only_readers TEXT: every entry of the access list TEXT for another SID grants reading only.
only_readers() {
  local entry rights sid
  for entry in $(echo "$1" | tr -d '\r' | grep -o '([^)]*)'); do
    rights=$(echo "$entry" | cut -d';' -f3) sid=$(echo "$entry" | cut -d';' -f6 | tr -d ')')
    case $sid in SY | BA | S-1-5-21-*) continue ;; esac
    case $rights in FR | FX | FRFX | 0x120089 | 0x1200a9) ;; *) return 1 ;; esac
  done
}
if [ -n "$acl" ]; then
  target=$work/acl/made
  mkdir -p "$work/acl"
  # shellcheck disable=SC2046
  (umask 000 && run $(settings "$target") --args "echo private")
  files=$(data_files "$target")
  if [ "$(rc)" != 0 ] || [ -z "$files" ]; then
    fail "access lists: exit $(rc), data files '$files'"
  else
    for made in "$target" "$files"; do
      list=$("$wine" "$acl" show "$(winpath "$made")" 2> /dev/null | tr -d '\r')
      echo "$list" | grep -q '(A;[^;]*;FA;;;SY)' || fail "access lists: no full control for SYSTEM on $made: $list"
      only_readers "$list" || fail "access lists: others may change $made: $list"
      echo "$list" | grep -q ';;;WD)' && fail "access lists: Everyone may read $made: $list"
    done
  fi
  "$wine" "$acl" private "$(winpath "$work/acl")" > /dev/null 2>&1 || fail "access lists: a folder made private fails"

  # A link named like the next run's working file is left as it is, and so is what it leads to.
  stem=$(basename "$files" | sed 's/-[0-9]*-00\.data$//')
  mkdir -p "$work/acl/outside"
  echo keep > "$work/acl/outside/keep.txt"
  ln -s ../outside "$target/$stem-1.make"
  # shellcheck disable=SC2046
  run $(settings "$target") --args "echo again"
  [ "$(rc)" = 0 ] || fail "working-file link: exit $(rc), output '$(out)'"
  [ -L "$target/$stem-1.make" ] || fail "working-file link: the link was moved"
  [ "$(ls "$work/acl/outside")" = keep.txt ] || fail "working-file link: its folder changed: $(ls "$work/acl/outside")"

  # An input file that is a link (to a folder, which wine shows as a reparse point) is refused.
  ln -s outside "$work/acl/input.txt"
  # shellcheck disable=SC2046
  run $(settings "$work/acl/input") --infile "$(winpath "$work/acl/input.txt")" --args "echo infile"
  [ "$(rc)" = 2 ] || fail "input link: exit $(rc), output '$(out)'"
  [ -L "$work/acl/input.txt" ] && [ -f "$work/acl/outside/keep.txt" ] || fail "input link: removed"
  [ -z "$(data_files "$work/acl/input")" ] || fail "input link: a data log was written"
fi

# Reparse points on the way to the target: a mount point (wine shows /dev/shm, and /tmp where
# it is a tmpfs, as a reparse point without a tag) is passed; a link is refused by its name.
if mountpoint -q /dev/shm 2> /dev/null && [ -w /dev/shm ]; then
  mounted=$(mktemp -d /dev/shm/trawlex-wine.XXXXXX)
  # shellcheck disable=SC2046
  run $(settings "$mounted/target") --args "echo mounted"
  { [ "$(rc)" = 0 ] && [ -n "$(data_files "$mounted/target")" ]; } ||
    fail "below a mount point: exit $(rc), output '$(out)'"
  rm -rf "$mounted"
fi
mkdir -p "$work/real"
ln -s real "$work/via-link"
# shellcheck disable=SC2046
run $(settings "$work/via-link/target") --args "echo linked"
[ "$(rc)" = 4 ] && [ "$(out)" = "ERROR: Invalid target directory: \"$(winpath "$work/via-link/target")\": \"$(winpath "$work/via-link")\" is a symbolic link" ] ||
  fail "a link on the way: exit $(rc), output '$(out)'"
[ -z "$(data_files "$work/real")" ] || fail "a link on the way: a data log was written"

# The other way round: a data log of the Linux trawlex verifies on Windows.
if [ -n "$linux_trawlex" ] && [ -n "$windows_verify" ]; then
  target=$work/linux
  "$linux_trawlex" --target "$target" --module os --datatype sample --interval PT15M --timeout PT20S \
    --exe /bin/echo --args "from linux" > "$work/linux.out" 2>&1 || fail "Linux trawlex: $(cat "$work/linux.out")"
  files=$(data_files "$target")
  if [ -z "$files" ]; then
    fail "Linux trawlex wrote no data log"
  else
    "$wine" "$windows_verify" "$(winpath "$files")" > "$work/verify" 2>&1 ||
      fail "trawlex-verify.exe refuses the Linux log: $(cat "$work/verify")"
  fi
fi

# The event log: the first record registers the source with the program as its message file,
# and each record is reported with the id of its kind (wine keeps no log: it traces the call).
# A failing utility's run is stored with a warning; --debug none reports nothing.
target=$work/events
# shellcheck disable=SC2046
WINEDEBUG=err+eventlog,trace+eventlog,warn+eventlog,fixme+advapi run $(settings "$target") --args fail
grep -q 'ReportEventW ([0-9A-Fa-fx]*,0x0002,0x0000,0x000007d2,' "$work/err" ||
  fail "event log: no warning with id 2002: $(grep -i event "$work/err")"
grep -q 'ReportEventW L"Stored \\"Z:.*\\": exit value 3, .* bytes, not sealed: no seal store"' "$work/err" ||
  fail "event log: no stored record: $(grep -i event "$work/err")"
grep -q 'ReportEventW L"TRAWLEX_SOURCE=Trawlex.os.sample"' "$work/err" || fail "event log: no source field"
registered=$(WINEDEBUG=-all "$wine" reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\trawlex' 2>&1 | tr -d '\r')
echo "$registered" | grep -q 'EventMessageFile *REG_EXPAND_SZ *.*trawlex.exe$' ||
  fail "event log: source not registered: $registered"
# The utility's standard error: a warning per line after its failed run, not passed through.
# shellcheck disable=SC2046
WINEDEBUG=err+eventlog,warn+eventlog,fixme+advapi run $(settings "$target") --args usage
grep -q 'ReportEventW ([0-9A-Fa-fx]*,0x0002,0x0000,0x000007d9,' "$work/err" ||
  fail "event log: no standard error record: $(grep -i event "$work/err")"
grep -q 'ReportEventW L"Standard error of \\".*win_utility.exe\\": usage: win_utility' "$work/err" ||
  fail "event log: no standard error line: $(grep -i event "$work/err")"
grep -q '^usage:' "$work/err" && fail "the utility's standard error passed through"
# shellcheck disable=SC2046
WINEDEBUG=err+eventlog,fixme+advapi run $(settings "$target") --debug none --args fail
grep -q 'ReportEventW' "$work/err" && fail "event log: --debug none reported: $(grep -i event "$work/err")"

if [ "$failures" -ne 0 ]; then
  echo "$failures black-box check(s) failed"
  exit 1
fi
echo "all black-box checks passed"
