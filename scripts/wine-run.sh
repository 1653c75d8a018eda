#!/usr/bin/env bash
# Runs one Windows program under Wine in the project's Wine prefix, with its arguments, its
# environment, its stdin, stdout and stderr, and its exit status (Wine gives the status modulo
# 256, except that a non-zero multiple of 256 becomes 1; 53 with no output means that the program
# or one of its DLLs was not found: rerun with QUIRADA_WINEDEBUG=err+module to see which). What
# the program writes in text mode (printf, std::cout) arrives with CRLF line ends. Sets up the
# prefix and the warmed persistent wineserver first if needed (see scripts/wine-env.sh), so that
# it can be the CMAKE_CROSSCOMPILING_EMULATOR of cmake/mingw-w64-x86_64.cmake: ctest and
# gtest_discover_tests run test .exe files with it.
#
#   scripts/wine-run.sh build-windows/tests/foo_tests.exe --gtest_filter='Foo.*'
#
# Set QUIRADA_WINEPREFIX to use another prefix than the default one.
set -uo pipefail
if [ "$#" -eq 0 ]; then
  echo "usage: $0 PROGRAM.exe [ARGUMENT...]" >&2
  exit 2
fi
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" || exit 125
exec wine "$@"
