#!/bin/sh
# Table rows for follow's state: the CPU time of one save (one pwrite, no
# fsync), and what a save per output batch costs a backlog read at the
# target of 1,000,000 records per CPU second, batches of 32 records (a 4 KiB
# output buffer of JSON).
# Usage: bench/followstate/rows.sh <build-dir>
set -eu
build=${1:?usage: rows.sh <build-dir>}
"$build/bench/followstate/bench_follow_state" --benchmark_format=csv \
    --benchmark_min_time=0.5 2>/dev/null | awk -F, '
    /^"BM_SaveOneLog"/ { one = $4 }
    /^"BM_SaveTwentyLogsFullyWatched"/ { twenty = $4 }
    END {
        if (one == "" || twenty == "") { print "bench_follow_state gave no figures" > "/dev/stderr"; exit 1 }
        printf "| follow: one state save, 1 log (CPU) | %.1f µs | — |\n", one / 1000
        printf "| follow: one state save, 20 logs with 8 watched generations each (CPU) | %.1f µs | — |\n", twenty / 1000
        printf "| follow: share of a 1 µs record that a save per 32 records costs, 1 log | %.1f %% | ≤ 10 %% |\n", one / 1000 / 32 * 100
    }'
