#!/usr/bin/env bash
# Builds the benchmarks (bench preset), runs each measurement beside its baseline, measures the
# peak memory of the 100,000-host listing, prints every row with its ratio and checks the goals
# of docs/benchmarks.md.
#
# Usage: scripts/bench.sh [--quick] [--repetitions N] [--min-time SECONDS]
#   default  3 repetitions of at least 1 s each; exits 1 when a goal is missed; plots List
#            against N into build/bench/results/benchmarks-list.png (gnuplot)
#   --quick  one short repetition, goals reported but not enforced, no plot, the installs that
#            take seconds per call left out; still exits 1 when any library output differs from
#            its baseline's (what CI runs)
# Results: build/bench/results/ (raw JSON, summary.md, list.dat). The store's benchmarks make
# their state directories under $TMPDIR (or /tmp), and under /dev/shm for the rows on tmpfs.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
repetitions=3
min_time=1
while (($#)); do
  case "$1" in
    --quick) quick=1; repetitions=1; min_time=0.02 ;;
    --repetitions) repetitions="$2"; shift ;;
    --min-time) min_time="$2"; shift ;;
    *) echo "bench.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

cmake --workflow --preset bench
bin=build/bench/bench
results=build/bench/results
rm -rf "$results"
mkdir -p "$results"

status=0
for suite in handler backends startup; do
  echo "=== $suite"
  filter=()
  # Rows that fix their own count of iterations take seconds per call (installs on the disk):
  # quick mode leaves them out.
  if ((quick)) && [[ $suite == backends ]]; then filter=(--benchmark_filter=-/iterations:); fi
  "$bin/vexodl-bench-$suite" --benchmark_min_time="$min_time" "${filter[@]}" \
    --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=false \
    --benchmark_out="$results/$suite.json" --benchmark_out_format=json || status=1
done

# Each in a process of its own, so that neither inherits the other's heap.
for which in library baseline; do
  "$bin/vexodl-bench-handler" --peak-memory="$which" --hosts=100000 \
    > "$results/peak-$which.json" || status=1
done

echo "=== results"
enforce=--enforce
((quick)) && enforce=
python3 scripts/bench_report.py "$results" $enforce || status=1

if ((!quick)); then
  gnuplot <<EOF || status=1
set terminal png noenhanced size 1000,460
set output "$results/benchmarks-list.png"
set multiplot layout 1,2 title "Handler::List(Json::Value&) against its baseline (medians, min-max bars)"
set logscale x
set xlabel "hosts (N)"
set grid
set key top left
set logscale y
set ylabel "time per listing (ms)"
plot "$results/list.dat" using 1:(\$2/1e6):(\$4/1e6):(\$5/1e6) with yerrorlines title "library", \
     "$results/list.dat" using 1:(\$3/1e6):(\$6/1e6):(\$7/1e6) with yerrorlines \
       title "baseline (JsonCpp directly)"
unset logscale y
set yrange [0:*]
set key bottom right
set ylabel "time per host (us)"
plot "$results/list.dat" using 1:(\$2/\$1/1e3):(\$4/\$1/1e3):(\$5/\$1/1e3) with yerrorlines \
       title "library", \
     "$results/list.dat" using 1:(\$3/\$1/1e3):(\$6/\$1/1e3):(\$7/\$1/1e3) with yerrorlines \
       title "baseline (JsonCpp directly)"
unset multiplot
EOF
  echo "plot: $results/benchmarks-list.png"
fi
exit "$status"
