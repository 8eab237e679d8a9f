#!/usr/bin/env bash
# Installs the build's Debian packages that are missing; does nothing when all are there.
set -euo pipefail

packages=(g++ cmake make pkg-config tzdata zlib1g-dev nettle-dev libgtest-dev clang libclang-rt-14-dev
          g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64)
# The Boost.Regex headers (libboost1.81-dev) are fetched into the build tree with apt-get download.
# JSON output of trawlex-verify; manual page checks; the Debian package and its checks.
packages+=(nlohmann-json3-dev groff-base dpkg-dev file lintian)
# The seal (libgcrypt on both platforms) and its independent check in Python.
packages+=(libgcrypt20-dev libgcrypt-mingw-w64-dev python3-cryptography)
# Programs the tests and the benchmark run that a minimal Debian (debootstrap, a container
# image) may lack: mount and unshare (namespaces of a test's own), hostname, id and the file
# tools of the shell scripts, gzip, perf (the benchmark's page-fault counts) and
# systemd-analyze (the exposure of the shipped units).
packages+=(mount util-linux hostname coreutils gzip linux-perf systemd)
# Failed writes (strace's fault injection) in sealed runs and the seal store, and a clock far
# ahead (libfaketime) in the seal store's tests.
packages+=(strace faketime libfaketime)
# The system log: the journal's library (its header checks the declaration trawlex loads it by)
# and a syslog daemon that the system log test starts on its own socket.
packages+=(libsystemd-dev rsyslog)
# The verifier's metrics and the run record read back by the Prometheus client library's
# parser; the run record served by node_exporter's textfile collector.
packages+=(python3-prometheus-client prometheus-node-exporter)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
