#!/usr/bin/env bash
# Builds the release build and makes the Debian package build/package/lumaro_<version>_<arch>.deb.
#
#   scripts/package.sh
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

bash scripts/ensure-deps.sh dpkg-dev
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMARO_BUILD_TESTS=OFF -DLUMARO_WERROR=ON \
    -DCMAKE_INSTALL_PREFIX=/usr
cmake --build build/release --parallel "$(nproc)"
mkdir -p build/package
rm -f build/package/lumaro_*.deb
(cd build/release && cpack -G DEB -B "$repo_root/build/package/cpack")
mv build/package/cpack/lumaro_*.deb build/package/
rm -rf build/package/cpack
ls build/package/lumaro_*.deb
