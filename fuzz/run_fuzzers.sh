#!/usr/bin/env bash
# Runs each fuzz target under libFuzzer for a number of seconds, starting
# from its stored corpus, and prints one line of figures per target.
#   fuzz/run_fuzzers.sh BUILD_DIR SECONDS TARGET...
# Exit status 1 when any target found a crash, a leak or a sanitizer report
# (the input is kept in BUILD_DIR/findings/); 0 otherwise.
set -uo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"; seconds="$2"; shift 2
mkdir -p "$build/findings"
status=0
for target in "$@"; do
  mkdir -p "$build/corpus/$target"
  log="$build/findings/$target.log"
  echo "== $target for $seconds s (log: $log)"
  if ! "$build/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=30 \
       -artifact_prefix="$build/findings/$target-" "$build/corpus/$target" "$top/fuzz/corpus/$target" \
       > "$log" 2>&1; then
    echo "$target: FINDING, see $log and $build/findings/"
    status=1
  fi
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  cover=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1 || true)
  corpus=$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" | tail -1 || true)
  echo "$target: ${execs:-?} executions, $cover, $corpus"
done
exit "$status"
