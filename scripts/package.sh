#!/usr/bin/env bash
# Builds the Debian package quirada-contabil: a release build without tests in build-release/
# (or $QUIRADA_PACKAGE_BUILD_DIR), then `cpack -G DEB`. Prints the .deb's path on the last line.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR="${QUIRADA_PACKAGE_BUILD_DIR:-build-release}"
JOBS="${QUIRADA_PACKAGE_JOBS:-2}"

# Only the program goes into the package: installing must not build the rest of the tree.
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUIRADA_BUILD_TESTS=OFF \
  -DQUIRADA_SANITIZE=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >&2
cmake --build "$BUILD_DIR" --target QuiradaContabil -j "$JOBS" >&2

rm -f "$BUILD_DIR"/quirada-contabil_*.deb
(cd "$BUILD_DIR" && cpack -G DEB >&2)

debs=("$BUILD_DIR"/quirada-contabil_*.deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package.sh: expected one quirada-contabil_*.deb in $BUILD_DIR" >&2
  exit 1
fi
realpath "${debs[0]}"
