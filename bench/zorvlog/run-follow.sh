#!/bin/sh
# zorvlog's reader on a backlog and on damage, side by side with parse on the
# same input in one run: how fast follow takes a backlog (records a second,
# and its time against parse --json's), and the peak resident memory of
# follow on a log with a 64 MiB hole and of parse on a gzip file that holds
# one 256 MiB line. Needs GNU time (/usr/bin/time).
# Usage: bench/zorvlog/run-follow.sh <build-dir> [records] [zorvlog]
set -eu
build=${1:?usage: run-follow.sh <build-dir> [records] [zorvlog]}
records=${2:-1000000}
zorvlog=${3:-$build/tools/zorvlog/zorvlog}
dir=$(mktemp -d /tmp/zorvbench-XXXXXX)
trap 'rm -rf "$dir"' EXIT
now() { date +%s.%N; }

# A busy service's log: nine debug records, then a seven-line error record.
awk -v n="$records" 'BEGIN {
    s = "4711\t2026/12/06\t17:05:09:"
    for (i = 0; i < n; i++) {
        if (i % 10 == 9) {
            printf "%s%d\tReason=record %d\n%s%d\tComputerName=host1\n%s%d\tOS=6.1.0\n", s, i % 1000, i, s, i % 1000, s, i % 1000
            printf "%s%d\tFile=w.cpp,Line=42\n%s%d\tVendorID=3 [Brakka]\n", s, i % 1000, s, i % 1000
            printf "%s%d\tVendorError=42 [Disk on fire]\n%s%d\tBrakka=1.0\n", s, i % 1000, s, i % 1000
        } else {
            printf "%s%d\tZorvCore\trecord %d\t\n", s, i % 1000, i
        }
    }
}' >"$dir/a.log"
echo "load before: $(uptime)"

# CPU seconds (user + system) of a command, in $dir/cpu: on a busy shared
# machine they say more than the wall clock.
timed() { /usr/bin/time -f '%U %S' -o "$dir/cpu" "$@"; }
cpu() { awk '{ print $1 + $2 }' "$dir/cpu"; }

start=$(now)
timed "$zorvlog" parse --json "$dir/a.log" >/dev/null
parsed=$(now)
parseCpu=$(cpu)

# follow takes the backlog; done when the last record is out.
: >"$dir/out"
/usr/bin/time -f '%U %S' -o "$dir/cpu" \
    "$zorvlog" follow --json --state "$dir/state" "$dir/a.log" >"$dir/out" &
timer=$!
while [ "$(wc -l <"$dir/out")" -lt "$records" ]; do sleep 0.05; done
followed=$(now)
kill -TERM "$(pgrep -P "$timer")"
wait "$timer"
followCpu=$(cpu)
echo "load after: $(uptime)"
awk -v n="$records" -v s="$start" -v p="$parsed" -v f="$followed" -v pc="$parseCpu" \
    -v fc="$followCpu" 'BEGIN {
    printf "parse --json: %.2f s (%.2f s CPU); follow: %.2f s (%.2f s CPU)\n", p - s, pc, f - p, fc
    printf "follow: %.0f records a second, %.0f per CPU second; %.2f times parse --json in CPU\n",
        n / (f - p), n / fc, fc / pc
}'

# A 64 MiB hole appended to the log follow reads, then a record.
printf '4711\t2026/12/06\t17:05:09\tZorvCore\tbefore\t\n' >"$dir/hole.log"
/usr/bin/time -f '%M' -o "$dir/hole.rss" \
    "$zorvlog" follow --json --state "$dir/hole.state" "$dir/hole.log" >"$dir/hole.out" 2>/dev/null &
timer=$!
until grep -q before "$dir/hole.out"; do sleep 0.05; done
truncate -s +64M "$dir/hole.log"
printf '4711\t2026/12/06\t17:05:09\tZorvCore\tafter\t\n' >>"$dir/hole.log"
tries=0
until grep -q '"after"' "$dir/hole.out" || [ $tries -ge 300 ]; do sleep 0.1; tries=$((tries + 1)); done
grep -q '"after"' "$dir/hole.out" || echo "follow did not print the record after the hole in 30 s"
kill -TERM "$(pgrep -P "$timer")"
sleep 1
kill -KILL "$(pgrep -P "$timer")" 2>/dev/null && echo "follow did not end on SIGTERM within a second"
wait "$timer" || true
echo "follow on a 64 MiB hole: peak $(cat "$dir/hole.rss" | tail -n 1) KiB"

{ printf '1\t2026/12/06\t17:05:09\tk='; head -c 268435456 /dev/zero | tr '\0' x; echo; } |
    gzip -1 >"$dir/long.gz"
/usr/bin/time -f 'parse on a 256 MiB line (gzip): peak %M KiB' \
    "$zorvlog" parse --json "$dir/long.gz" >/dev/null 2>"$dir/long.err" || true
tail -n 1 "$dir/long.err"
