#!/usr/bin/env bash
# Fails when the program's rooms lose their one-way order or platform code leaks out of its files:
# - a product file outside *_posix.* / *_win32.* includes a POSIX-only header;
# - a room includes a room above it. The order: service/ -> dispatch/ -> platform_client/ and
#   firebird/ (side by side: neither includes the other) -> base/.
# Product = base/, service/, dispatch/, platform_client/, firebird/ without tests (*_test.cc) and
# testing/.
set -euo pipefail
cd "$(dirname "$0")/.."

product() {
  git ls-files "$@" | grep -E '\.(cpp|cc|h)$' | grep -v -E '(_test\.cc$|/testing/)' || true
}

failed=0
report() {
  echo "check-layout: $1" >&2
  failed=1
}

posix_headers='#include[[:space:]]*<(unistd|fcntl|signal|pthread|poll|spawn|dlfcn|pwd)\.h>|#include[[:space:]]*<sys/'
while IFS= read -r file; do
  [ -n "$file" ] || continue
  case "$file" in *_posix.*|*_win32.*) continue ;; esac
  if hits=$(grep -n -E "$posix_headers" "$file"); then
    report "$file includes a POSIX-only header outside a *_posix file: $hits"
  fi
done < <(product base service dispatch platform_client firebird)

upward() {  # upward ROOMS... -- FORBIDDEN...
  local rooms=() forbidden=()
  while [ "$1" != "--" ]; do rooms+=("$1"); shift; done
  shift
  forbidden=("$@")
  while IFS= read -r file; do
    [ -n "$file" ] || continue
    for room in "${forbidden[@]}"; do
      if hits=$(grep -n -E "#include[[:space:]]*\"$room/" "$file"); then
        report "$file includes $room/, a room above it: $hits"
      fi
    done
  done < <(product "${rooms[@]}")
}
upward dispatch -- service
upward platform_client -- service dispatch firebird
upward firebird -- service dispatch platform_client
upward base -- service dispatch platform_client firebird

if [ "$failed" -ne 0 ]; then
  exit 1
fi
echo "check-layout: the rooms go one way down and platform code stays in its files"
