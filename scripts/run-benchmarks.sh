#!/usr/bin/env bash
# Runs the benchmarks of docs/performance.md and writes their results there.
#
# Installs what is missing from Debian's packages (the peers libuv, libevent and Boost.Asio,
# and gnuplot, besides the build's own needs), builds the release preset's two benchmark
# programs, runs the Google Benchmark micro-benchmarks (repetitions interleaved at random),
# then the harness (every scenario on the library, the floor and the peers, each run in a fresh
# process, interleaved round by round). Every figure is printed as one JSON line and kept in
# build/release/benchmarks/results/figures.jsonl; the table replaces the results section of
# docs/performance.md and the latency plot is docs/performance-latency.png.
#
# Environment: ROUNDS (harness rounds, default 5), MICRO_REPETITIONS (default 5),
# BENCH_BUILD_DIR (build there, as a Release build with benchmarks, instead of the release
# preset's build/release).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

rounds=${ROUNDS:-5}
repetitions=${MICRO_REPETITIONS:-5}
build=${BENCH_BUILD_DIR:-build/release}
bench=$build/benchmarks
results=$bench/results
doc=docs/performance.md
plot=docs/performance-latency.png

./scripts/install-deps.sh libuv1-dev libevent-dev libboost-dev gnuplot-nox

if [ -n "${BENCH_BUILD_DIR:-}" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCTM_BUILD_BENCHMARKS=ON >&2
else
    cmake --preset release >&2
fi
cmake --build "$build" -j2 --target ctm-micro-benchmarks ctm-harness >&2
mkdir -p "$results"
rm -f "$results"/latency-*.dat

echo "== micro-benchmarks" >&2
"$bench/ctm-micro-benchmarks" --benchmark_repetitions="$repetitions" \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.2 --benchmark_out="$results/micro.csv" \
    --benchmark_out_format=csv >&2

echo "== harness ($rounds rounds)" >&2
"$bench/ctm-harness" --rounds "$rounds" --out-dir "$results" --micro "$results/micro.csv"

# The latency distributions, one cumulative curve per subject.
plots=()
for data in "$results"/latency-*.dat; do
    [ -e "$data" ] || continue
    subject=$(basename "$data" .dat)
    plots+=("'$data' using 1:2 with lines linewidth 2 title '${subject#latency-}'")
done
if [ "${#plots[@]}" -gt 0 ]; then
    gnuplot <<EOF
set terminal pngcairo size 900,560 font "sans,10"
set output '$plot'
set title 'Expiry lateness, 1000 one-shots over 2 s, all rounds pooled'
set logscale x
set xrange [1:*]
set xlabel 'lateness (µs, log scale)'
set ylabel 'fraction of expiries at or below'
set key bottom right
set grid
plot $(IFS=,; echo "${plots[*]}")
EOF
fi

# The results section of the page, between its two marker lines, is replaced.
{
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) CPUs"\
         "($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'),"\
         "Linux $(uname -r)), $rounds harness rounds, $repetitions micro-benchmark repetitions,"\
         "by \`scripts/run-benchmarks.sh\`."
    echo
    cat "$results/table.md"
    echo "![Latency distributions]($(basename "$plot"))"
} >"$results/section.md"
awk -v section="$results/section.md" '
    /^<!-- results:begin -->/ { print; while ((getline line < section) > 0) print line; skip = 1; next }
    /^<!-- results:end -->/ { skip = 0 }
    !skip { print }
' "$doc" >"$results/performance.md"
cp "$results/performance.md" "$doc"
echo "wrote $doc and $plot" >&2
