#!/bin/sh
# Rows for the performance table: how many records land on the unfinished
# line of a neighbour that writes the same log one byte per write(2), without
# the lock (6,000 debug records, 800 error records).
# Usage: bench/neighbour/rows.sh BUILD
set -eu
build=${1:?usage: rows.sh BUILD}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -m 700 "$home/runtime"
HOME="$home" XDG_DATA_HOME="$home/data" XDG_STATE_HOME="$home/state" \
    XDG_RUNTIME_DIR="$home/runtime" "$build/bench/neighbour/bench_neighbour" 6000 800 |
    awk '$2 == "glued" {
        printf "| %s records glued onto the line of a neighbour writing one byte per write(2), no lock | %d of %d (%.1f %%) | not ours to close: the neighbour writes whole lines or takes the lock |\n",
            $1, $3, $5, $5 ? 100 * $3 / $5 : 0
    }'
