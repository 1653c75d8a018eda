#!/usr/bin/env bash
# The Windows build: QuiradaContabil.exe (one static executable) and its installer
# QuiradaContabil-setup.exe (NSIS's makensis, from packaging/windows/), cross-built with Debian's
# MinGW-w64 into build-windows/, with the test programs that run under Wine and the helper of
# scripts/windows-smoke.sh. The static OpenSSL, libcurl and GoogleTest come from
# scripts/windows-deps.sh (built once per machine into a cache outside the checkout).
#
#   scripts/build-windows.sh            # prints the build folder on its last line
#
# Runs as root (or through sudo) on Debian 12, like scripts/test.sh, which calls it.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD_DIR="${QUIRADA_WINDOWS_BUILD_DIR:-$ROOT/build-windows}"
JOBS="${QUIRADA_WINDOWS_JOBS:-$(nproc)}"

prefix=$(scripts/windows-deps.sh | tail -n 1)
[ -d "$prefix/include" ] || { echo "build-windows: no dependency prefix from windows-deps.sh" >&2; exit 1; }

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
  -DQUIRADA_WINDOWS_DEPS_PREFIX="$prefix" >&2
cmake --build "$BUILD_DIR" -j "$JOBS" >&2
[ -f "$BUILD_DIR/QuiradaContabil-setup.exe" ] ||
  { echo "build-windows: the build made no QuiradaContabil-setup.exe" >&2; exit 1; }
echo "$BUILD_DIR"
