#!/bin/sh
# Runs the peer comparison and prints the table that docs/performance.md
# shows. Usage: bench/peers/run-peers.sh <build-dir> [output-dir]
# The machine's load before and after each program is printed with the
# numbers: on a shared machine, compare only numbers of one run.
set -eu
build=${1:?usage: run-peers.sh <build-dir> [output-dir]}
out=${2:-$(mktemp -d /tmp/zorvpeers-out-XXXXXX)}
mkdir -p "$out"
here=$(cd "$(dirname "$0")" && pwd)

echo "load before: $(uptime)"
"$build/bench/peers/bench_peers" --benchmark_repetitions="${ZORV_PEERS_REPETITIONS:-5}" \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/bench_peers.json" --benchmark_out_format=json >"$out/bench_peers.txt"
echo "load between: $(uptime)"
"$build/bench/peers/bench_peers_procs" \
    --benchmark_out="$out/bench_peers_procs.json" --benchmark_out_format=json \
    >"$out/bench_peers_procs.txt"
echo "load after: $(uptime)"
python3 "$here/summarize.py" "$out/bench_peers.json" "$out/bench_peers_procs.json"
echo "raw results in $out"
