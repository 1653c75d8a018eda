#!/usr/bin/env bash
# The Windows build's tests under Wine: the test programs of build-windows/ through ctest (the
# database tests reach the Linux Firebird server on 127.0.0.1:3050 through the Windows Firebird
# client of testing/windows/), then the end-to-end smoke of the installer and the service
# (scripts/windows-smoke.sh). Expects scripts/build-windows.sh to have run and the Firebird server
# to listen, as scripts/test.sh arranges.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD_DIR="${QUIRADA_WINDOWS_BUILD_DIR:-$ROOT/build-windows}"

# The Windows Firebird client beside every test program that attaches.
for dir in "$BUILD_DIR"/dispatch "$BUILD_DIR"/firebird; do
  cp testing/windows/fbclient.dll testing/windows/firebird.msg "$dir/"
done

# A Wine program now and then ends at its start, before it has run a test or written a line (seen
# in about one run in three of the whole list, each time another program, passing alone and on its
# next run): a program that fails is run again, up to three times in all, and a failure of its own
# fails every time.
(
  . scripts/wine-env.sh
  trap quirada_wine_stop EXIT
  ctest --test-dir "$BUILD_DIR" --output-on-failure -j 1 --repeat until-pass:3 "$@"
)
# In a Wine prefix of its own, where a service of an earlier run cannot be in the way.
env -u QUIRADA_WINEPREFIX -u WINEPREFIX scripts/windows-smoke.sh
