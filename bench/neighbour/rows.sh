#!/bin/sh
# Rows for the performance table: how many debug records of 6,000 land on a
# line a neighbour writes one byte per write(2), without the lock, into the
# same log. Usage: bench/neighbour/rows.sh BUILD
set -eu
build=${1:?usage: rows.sh BUILD}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -m 700 "$home/runtime"
out=$(HOME="$home" XDG_DATA_HOME="$home/data" XDG_STATE_HOME="$home/state" \
    XDG_RUNTIME_DIR="$home/runtime" "$build/bench/neighbour/bench_neighbour" 6000)
glued=$(printf '%s\n' "$out" | sed -n 's/^records glued //p')
found=$(printf '%s\n' "$out" | sed -n 's/^records found //p')
share=$(awk -v g="$glued" -v f="$found" 'BEGIN { printf "%.1f", f ? 100 * g / f : 0 }')
echo "| debug records glued onto the unfinished line of a neighbour writing one byte per write(2), no lock | $glued of $found ($share %) | not ours to close: the neighbour writes whole lines or takes the lock |"
