#!/usr/bin/env bash
# Installs what the build and the tests need, starts a Firebird server for them (unless one is
# already listening on 127.0.0.1:3050), builds the test build (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-test/ (a folder of its own: the plain build of the README and
# the demo in build/ is never turned into a sanitizer build) and runs every test, then the fuzzers,
# the Debian package's tests (scripts/test-package.sh), and the Windows build with its tests under
# Wine (scripts/build-windows.sh, scripts/test-windows.sh). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# The rooms of the program go one way down; platform code stays in *_posix / *_win32 files.
scripts/check-layout.sh

started=$(scripts/firebird-server.sh start)
cleanup() { [ "$started" = started ] && scripts/firebird-server.sh stop || true; }
trap cleanup EXIT

cmake -S . -B build-test -G Ninja -DQUIRADA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-test -j "$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}"
ctest --test-dir build-test --output-on-failure -j 2 "$@"

# The parsers of outside input, fuzzed for a fixed time each (FUZZ_SECONDS) in build-fuzz.
scripts/fuzz.sh

# The Debian package: built, installed, run against the test Firebird server, removed, purged.
scripts/test-package.sh

# The Windows build (QuiradaContabil.exe and its installer, cross-built with MinGW-w64 in
# build-windows/), its tests under Wine and the smoke of the installed service.
scripts/build-windows.sh
QUIRADA_LOCAL_PLATFORM="$PWD/build-test/quirada-local-platform" scripts/test-windows.sh
