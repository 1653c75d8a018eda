#!/usr/bin/env bash
# Compares the dispatch cycle's throughput of two commits on this machine, in one sitting:
#
#   bench/compare.sh <commit-a> <commit-b> [rounds] [documents]      (defaults 7 rounds, 500)
#
# Each commit is built once in release mode, tests off, outside the checkout (its sources from
# `git archive`, its build in ${QUIRADA_BENCH_CACHE:-~/.cache/quirada-bench}/<hash>/, kept for the
# next comparison). Then the two commits' bench/cycle_bench run in alternation, one round each
# (a, b, b, a, a, b, ...), so that a drift of the machine weighs on both alike; each round times
# one "/ONCE" cycle over the documents and its commit's floor program (bench/cycle_floor). The table
# gives, for each commit, the median ratio cycle/floor and the median cycle and floor times, and
# the difference b - a. Run it on a quiet machine (the load average is printed before and after),
# with the test Firebird server listening (scripts/firebird-server.sh start).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
  echo "uso: bench/compare.sh <commit-a> <commit-b> [rounds] [documents]" >&2
  exit 2
fi
ROUNDS="${3:-7}"
DOCS="${4:-500}"
CACHE="${QUIRADA_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quirada-bench}"
mkdir -p "$CACHE"

# Builds the commit `hash` (once) and prints the path of its cycle_bench.
build() {
  local hash=$1 dir
  dir="$CACHE/$hash"
  if [ ! -x "$dir/build/bench/cycle_bench" ]; then
    rm -rf "$dir"
    mkdir -p "$dir/src"
    git archive "$hash" | tar -x -C "$dir/src"
    cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUIRADA_BUILD_TESTS=OFF >&2
    cmake --build "$dir/build" >&2
  fi
  echo "$dir/build/bench/cycle_bench"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Each commit named once, before anything is built: a branch or HEAD that moves meanwhile changes
# nothing of this comparison.
HASH_A=$(git rev-parse --verify "$1^{commit}")
HASH_B=$(git rev-parse --verify "$2^{commit}")
A=${HASH_A:0:7}
B=${HASH_B:0:7}
echo "building $A and $B (release, tests off) in $CACHE" >&2
BENCH_A=$(build "$HASH_A")
BENCH_B=$(build "$HASH_B")

RESULTS=$(mktemp)
trap 'rm -f "$RESULTS"' EXIT
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# One round of `bench` for `name`: "name ratio cycle_seconds floor_seconds" appended to the results.
# The memory part of cycle_bench is run at its smallest (one document), as it cannot be left out
# on older commits.
round() {
  local name=$1 bench=$2 out
  out=$("$bench" "$DOCS" 1 1 1)
  printf '%s\n' "$out" | awk -v name="$name" '
    /^round 1: ratio/ { ratio = $4 }
    $1 == "cycle" { cycle = $3 }
    $1 == "floor" { floor = $3 }
    END { if (ratio == "") exit 1; print name, ratio, cycle, floor }' >>"$RESULTS" ||
    { printf '%s\n' "$out" >&2; echo "compare: cycle_bench of $name gave no ratio" >&2; exit 1; }
}

for ((r = 1; r <= ROUNDS; r++)); do
  if ((r % 2)); then
    round "$A" "$BENCH_A"
    round "$B" "$BENCH_B"
  else
    round "$B" "$BENCH_B"
    round "$A" "$BENCH_A"
  fi
  echo "round $r of $ROUNDS done" >&2
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

column_of() { awk -v name="$1" -v col="$2" '$1 == name { print $col }' "$RESULTS" | median; }
RA=$(column_of "$A" 2) RB=$(column_of "$B" 2)
CA=$(column_of "$A" 3) CB=$(column_of "$B" 3)
FA=$(column_of "$A" 4) FB=$(column_of "$B" 4)
echo
echo "$DOCS documents, $ROUNDS rounds each, medians:"
printf '%-14s %10s %12s %12s\n' commit ratio "cycle (s)" "floor (s)"
printf '%-14s %10.3f %12.3f %12.3f\n' "$A" "$RA" "$CA" "$FA"
printf '%-14s %10.3f %12.3f %12.3f\n' "$B" "$RB" "$CB" "$FB"
awk -v ra="$RA" -v rb="$RB" -v ca="$CA" -v cb="$CB" -v fa="$FA" -v fb="$FB" \
  'BEGIN { printf "%-14s %+10.3f %+12.3f %+12.3f\n", "b - a", rb - ra, cb - ca, fb - fa }'
