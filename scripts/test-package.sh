#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh) and tests it: its control data and file list
# (dpkg-deb), lintian (no errors; warnings are shown), its manual pages (groff), and, from a
# copy unpacked into an empty root folder, "trawlex --version", one collection with the
# example configuration and the check of that collection with trawlex-verify.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

fail() { echo "FAILED: $*"; exit 1; }

package=$(bash scripts/package.sh | tail -n 1)
[ -f "$package" ] || fail "no package built"
echo "== $package =="

echo "== Control data =="
dpkg-deb --info "$package"
[ "$(dpkg-deb --field "$package" Package)" = trawlex ] || fail "package name"
[ "$(dpkg-deb --field "$package" Version)" = 6.3.0.0 ] || fail "version"
depends=$(dpkg-deb --field "$package" Depends)
# Nettle is linked in; libgcrypt is loaded when a seal is made or checked.
for library in libc6 libstdc++6 zlib1g libgcrypt20; do
    [[ "$depends" == *"$library"* ]] || fail "Depends lacks $library: $depends"
done
# Boost.Regex is built in from its headers: no Boost or ICU library at run time.
for library in libboost libicu; do
    [[ "$depends" != *"$library"* ]] || fail "Depends names $library: $depends"
done

echo "== Files =="
contents=$(dpkg-deb --contents "$package" | awk '{print $6}' | sed 's|^\./|/|')
echo "$contents"
expected=(/usr/bin/trawlex /usr/bin/trawlex-verify /usr/bin/trawlex-seal /usr/share/man/man1/trawlex.1.gz
          /usr/share/man/man1/trawlex-verify.1.gz /usr/share/man/man1/trawlex-seal.1.gz /usr/share/doc/trawlex/copyright
          /usr/share/doc/trawlex/changelog.gz /usr/share/doc/trawlex/examples/trawlex.conf
          /usr/share/doc/trawlex/examples/crontab /usr/share/doc/trawlex/examples/cron.d/trawlex
          /usr/share/doc/trawlex/examples/systemd/trawlex-df.service /usr/lib/systemd/system/trawlex@.service
          /usr/lib/systemd/system/trawlex@.timer
          /usr/share/doc/trawlex/examples/systemd/trawlex-df.timer /usr/lib/systemd/system/trawlex-seal-erase.service
          /usr/lib/systemd/system/trawlex-seal-erase.timer)
for file in "${expected[@]}"; do
    grep -qx "$file" <<< "$contents" || fail "missing $file"
done
programs=$(grep '^/usr/bin/.' <<< "$contents" | sort | tr '\n' ' ')
[ "$programs" = "/usr/bin/trawlex /usr/bin/trawlex-seal /usr/bin/trawlex-verify " ] || fail "unexpected programs: $programs"

echo "== lintian =="
lintian_status=0
lintian_output=$(lintian --fail-on error --tag-display-limit 0 "$package" 2>&1) || lintian_status=$?
grep -v 'root privileges' <<< "$lintian_output" || true
[ "$lintian_status" -eq 0 ] || fail "lintian reported errors"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$package" "$root"

echo "== Manual pages =="
for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(zcat "$page" | groff -ww -z -man 2>&1)
    [ -z "$warnings" ] || fail "$page: $warnings"
done

echo "== Installed programs =="
version=$("$root/usr/bin/trawlex" --version)
echo "$version"
grep -qx 'Version=6.3.0.0' <<< "$version" || fail "trawlex --version"
examples=$root/usr/share/doc/trawlex/examples
grep -q ' /usr/bin/trawlex ' "$examples/crontab" || fail "crontab example does not name /usr/bin/trawlex"
grep -q '^ExecStart=/usr/bin/trawlex ' "$examples/systemd/trawlex-df.service" || fail "service example"
grep -q ' /usr/bin/trawlex-seal erase$' "$examples/crontab" || fail "crontab example lacks the seal erasure"
grep -qx 'ExecStart=/usr/bin/trawlex-seal erase' "$root/usr/lib/systemd/system/trawlex-seal-erase.service" ||
    fail "seal erasure unit"
grep -qx 'ExecStart=/usr/bin/trawlex -c /etc/trawlex/%i.conf' "$root/usr/lib/systemd/system/trawlex@.service" ||
    fail "source template unit"
grep -q ' /usr/bin/trawlex -c /etc/trawlex/df.conf$' "$examples/cron.d/trawlex" || fail "cron.d example"

# A copy of the example configuration with its own target: loading the file would create the
# folder it names (/var/lib/trawlex/data) even with --target given.
data=$root/data
sed "s|\"/var/lib/trawlex/data\"|\"$data\"|" "$examples/trawlex.conf" > "$root/df.conf"
grep -qF "\"$data\"" "$root/df.conf" || fail "no target folder in the example configuration"
export TRAWLEX_SEAL_DIR=$root/no-seal-store  # never a store at the default place
status=0
"$root/usr/bin/trawlex" -c "$root/df.conf" || status=$?
[ "$status" -eq 0 ] || fail "collection with the example configuration exited with $status"
check=$("$root/usr/bin/trawlex-verify" --json "$data")
echo "$check"
[ "$(wc -l <<< "$check")" -eq 1 ] || fail "expected one data log"
grep -q '"status":"valid"' <<< "$check" || fail "the collection is not valid"
grep -q '"source.datatype":"disk-usage"' <<< "$check" || fail "meta keys"

echo "== Sealed collection =="
export TRAWLEX_SEAL_DIR=$root/seal
"$root/usr/bin/trawlex-seal" init --until "$(date -u -d '+1 day' +%Y-%m-%d)" > /dev/null || fail "trawlex-seal init"
sealed=$root/sealed
"$root/usr/bin/trawlex" -c "$examples/trawlex.conf" --target "$sealed" || fail "sealed collection"
"$root/usr/bin/trawlex-verify" --seal-key "$TRAWLEX_SEAL_DIR/verification.key" "$sealed" || fail "the seal"
"$root/usr/bin/trawlex-seal" status | grep -q 'last sequence 1' || fail "trawlex-seal status"

echo "Package test passed in $((SECONDS - start)) s."
