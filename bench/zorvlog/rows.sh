#!/bin/sh
# The reader's rows of the performance table: zorvlog parse and parse --json
# against mawk's split of the same log, measured side by side in one run of
# run-parse.sh (best of its rounds), as Markdown rows
# "| measure | measured | target |".
# Usage: bench/zorvlog/rows.sh <build-dir> [rounds]
set -eu
build=${1:?usage: rows.sh <build-dir> [rounds]}
here=$(dirname "$0")
"$here/run-parse.sh" "$build" "${2:-5}" | awk '
    /^zorvlog parse +[0-9]/ { row("zorvlog parse", "1.5") }
    /^zorvlog parse --json +[0-9]/ { row("zorvlog parse --json", "2") }
    /^zorvlog parse \.[a-z0-9]+ +[0-9]/ {
        printf "| zorvlog parse of the log compressed with %s -6, CPU time / mawk -F\\t {n+=NF} on it plain | %.2f x | - |\n", substr($3, 2), $(NF - 1)
    }
    function row(name, target) {
        printf "| %s, CPU time / mawk -F\\t {n+=NF} | %.2f x | at most %s x |\n", name, $(NF - 1), target
        printf "| %s, wall time / mawk -F\\t {n+=NF} | %.2f x | at most %s x |\n", name, $(NF - 2), target
    }'
