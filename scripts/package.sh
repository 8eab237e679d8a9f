#!/usr/bin/env bash
# Builds the Debian package trawlex_<version>_<arch>.deb (Release, installed under /usr) in
# build-package/ with CPack; dependencies come from dpkg-shlibdeps. Prints the package's path.
#   PACKAGE_BUILD_DIR   build folder (default build-package)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
folder=${PACKAGE_BUILD_DIR:-build-package}
mkdir -p "$folder"
# Only the installed targets are built: the install step does not build everything first.
cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=Release -DTRAWLEX_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON > "$folder/configure.log" 2>&1 \
    || { cat "$folder/configure.log"; exit 1; }
cmake --build "$folder" -j "$(nproc 2>/dev/null || echo 2)" --target trawlex trawlex-verify trawlex-seal trawlex-docs
rm -f "$folder"/trawlex_*.deb
(cd "$folder" && cpack -G DEB > cpack.log 2>&1) || { cat "$folder/cpack.log"; exit 1; }
ls "$folder"/trawlex_*.deb
