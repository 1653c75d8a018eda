#!/usr/bin/env bash
# Builds the fuzz targets (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) with clang in
# build-fuzz, replays every input kept in fuzz/regressions/<target>/, then fuzzes each target for
# FUZZ_SECONDS seconds (30 by default) on a copy of its seed corpus fuzz/corpus/<target>/, which is
# never changed. Exits non-zero on any crash, hang, leak, sanitizer report or broken promise; the
# input that caused it is left in build-fuzz/run/<target>/artifacts/.
#
#   scripts/fuzz.sh                  all targets
#   scripts/fuzz.sh sql_params ...   only these
#   FUZZ_SECONDS=300 scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-30}"
build=build-fuzz
targets=(json_answers token_file ini_file sql_params charset)
[ "$#" -gt 0 ] && targets=("$@")

mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIRADA_SANITIZE=ON -DQUIRADA_FUZZ=ON -DQUIRADA_BUILD_TESTS=OFF \
  > "$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" --target fuzzers -j 2

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
options=(-timeout=10 -rss_limit_mb=2048)

# A sanitizer's report fails the run even if the program somehow ended well.
reported() { grep -qE "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|broken promise" "$1"; }

failed=()
for t in "${targets[@]}"; do
  bin="$build/fuzz/fuzz_$t"
  [ -x "$bin" ] || { echo "fuzz: no target $t" >&2; exit 2; }
  run="$build/run/$t"
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/artifacts" "$run/tmp"
  export TMPDIR="$PWD/$run/tmp"

  if [ -d "fuzz/regressions/$t" ] && [ -n "$(ls -A "fuzz/regressions/$t")" ]; then
    if ! "$bin" "${options[@]}" "fuzz/regressions/$t"/* > "$run/regressions.log" 2>&1 || reported "$run/regressions.log"; then
      echo "fuzz: $t: a regression input fails again" >&2
      tail -n 60 "$run/regressions.log" >&2
      failed+=("$t")
      continue
    fi
    echo "fuzz: $t: $(ls "fuzz/regressions/$t" | wc -l) regression inputs pass"
  fi

  cp -r "fuzz/corpus/$t/." "$run/corpus/"
  dict=()
  [ -f "fuzz/dict/$t.dict" ] && dict=("-dict=fuzz/dict/$t.dict")
  if ! "$bin" "${options[@]}" "${dict[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$run/artifacts/" "$run/corpus" > "$run/fuzz.log" 2>&1 || reported "$run/fuzz.log"; then
    echo "fuzz: $t: FAILED" >&2
    tail -n 60 "$run/fuzz.log" >&2
    ls -l "$run/artifacts" >&2
    failed+=("$t")
    continue
  fi
  echo "fuzz: $t: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$run/fuzz.log" | grep -o '[0-9]*$') runs in ${seconds}s, corpus $(ls "$run/corpus" | wc -l) inputs, no failure"
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
