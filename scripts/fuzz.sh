#!/usr/bin/env bash
# Builds the fuzz targets (fuzz preset) and runs each, or those named, for SECONDS, from its seed
# corpus in fuzz/corpus/<target>. What a run finds stays in build/fuzz/fuzz-corpus/<target>, so
# the next run goes on from there; crashing inputs go to build/fuzz/fuzz-artifacts/.
# Usage: fuzz.sh SECONDS [TARGET...]
# Exit status: 0 when no target crashed, broke an invariant or hung; 1 otherwise.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz.sh SECONDS [TARGET...]}
shift
targets=("$@")
if ((${#targets[@]} == 0)); then
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

cmake --preset fuzz > /dev/null && cmake --build --preset fuzz > /dev/null || exit 1
build=build/fuzz
mkdir -p "$build/fuzz-artifacts" "$build/fuzz-logs"

failed=0
for target in "${targets[@]}"; do
  mkdir -p "$build/fuzz-corpus/$target"
  log=$build/fuzz-logs/$target.log
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$target-" \
    "$build/fuzz-corpus/$target" "fuzz/corpus/$target" > "$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  corpus=$(find "$build/fuzz-corpus/$target" -type f | wc -l)
  if ((status == 0)); then
    echo "$target: ${runs:-?} runs in ${seconds} s, $coverage, $corpus inputs kept, nothing found"
  else
    failed=1
    echo "$target: FAILED (status $status); see $log and $build/fuzz-artifacts/$target-*"
    grep -m3 -E 'ERROR|invariant broken|SUMMARY' "$log" | sed 's/^/  /'
  fi
done
exit $failed
