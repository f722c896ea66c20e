#!/bin/sh
# zorvlog parse beside mawk on the same log, in one run: a 40 MB log of a busy
# service (400,000 records: 40,000 seven-line error records, 40,000
# performance rows, 320,000 debug records), read by
#   mawk -F'\t' '{n+=NF}'     the floor: splitting every line, nothing printed
#   zorvlog parse             the table
#   zorvlog parse --json      JSON Lines
#   zorvlog parse -n 10       the last ten records
#   zorvlog parse FILE.EXT    the table, of the log compressed as logrotate's
#                             compresscmd leaves it: gzip, xz, zstd, bzip2 (-6)
# each output to /dev/null, in turn, round after round; the best of the rounds
# for each, wall clock and CPU (user + system), as ratios to mawk's, and the
# peak resident memory, from the kernel's accounting of each child. Then
# zorvlog's JSON writer against nlohmann-json making the same objects
# (bench_zorvlog_json), when it was built.
# Needs mawk, GNU time and python3 (scripts/deps.sh installs them).
# Usage: bench/zorvlog/run-parse.sh <build-dir> [rounds] [zorvlog]
set -eu
build=${1:?usage: run-parse.sh <build-dir> [rounds] [zorvlog]}
rounds=${2:-5}
zorvlog=${3:-$build/tools/zorvlog/zorvlog}
command -v mawk >/dev/null || { echo "run-parse.sh: mawk is missing (scripts/deps.sh)" >&2; exit 1; }
dir=$(mktemp -d /tmp/zorvbench-XXXXXX)
trap 'rm -rf "$dir"' EXIT

mawk 'BEGIN {
    for (i = 0; i < 400000; i++) {
        pid = 4000 + i % 7
        sec = int(i / 100)
        t = sprintf("%02d:%02d:%02d", int(sec / 3600) % 24, int(sec / 60) % 60, sec % 60)
        s = pid "\t2026/12/06\t" t
        if (i % 10 == 9) {
            printf "%s\tReason=Fatal error\n%s\tComputerName=host1\n%s\tOS=6.1.0-13-amd64\n", s, s, s
            printf "%s\tFile=Client.cpp,Line=%d\n%s\tVendorID=8 [ZorvQet]\n", s, i % 977, s
            printf "%s\tVendorError=3 [A malformed request frame was received]\n%s\tZorvQet=5.0.0\n", s, s
        } else if (i % 10 == 4) {
            printf "%d,2026/12/06,%s:%d,6.1.0-13-amd64,host1,5.0.0,open:%d,read:%d,ZorvCore,NA,\n", pid, t, i % 1000, i % 97, i % 13
        } else {
            printf "%s:%d\tZorvCore\trequest %d served in %d ms\t\n", s, i % 1000, i, i % 89
        }
    }
}' >"$dir/service.log"
echo "log: $(wc -c <"$dir/service.log") bytes, $(wc -l <"$dir/service.log") lines"
for program in gzip xz zstd bzip2; do
    "$program" -6 -c <"$dir/service.log" >"$dir/service.log.$program"
done
echo "load before: $(uptime)"

# One timed run: "name wall-us user system peak-KiB" appended to $dir/times.
# The CPU time is the kernel's account of the child (wait4), to the
# microsecond: a run of mawk takes a few tens of milliseconds, and the 10 ms
# that GNU time prints would move a ratio by a fifth. GNU time, which runs the
# command, gives the peak memory; its own share of the CPU time, well under a
# millisecond, is the same for every command.
run() {
    name=$1
    shift
    python3 -c '
import os, sys, time
out, command = sys.argv[1], sys.argv[2:]
start = time.monotonic()
pid = os.fork()
if pid == 0:
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    os.execv("/usr/bin/time", ["time", "-f", "%M", "-o", out + ".peak"] + command)
_, status, use = os.wait4(pid, 0)
wall = time.monotonic() - start
peak = open(out + ".peak").read().split()[-1]
print(int(wall * 1e6), "%.6f %.6f" % (use.ru_utime, use.ru_stime), peak)
sys.exit(0 if os.waitstatus_to_exitcode(status) == 0 else 1)
' "$dir/one" "$@" >"$dir/one"
    echo "$name $(cat "$dir/one")" >>"$dir/times"
}
round=0
while [ "$round" -lt "$rounds" ]; do
    run mawk mawk -F'\t' '{n+=NF}' "$dir/service.log"
    run parse "$zorvlog" parse "$dir/service.log"
    run json "$zorvlog" parse --json "$dir/service.log"
    run last10 "$zorvlog" parse -n 10 "$dir/service.log"
    for program in gzip xz zstd bzip2; do
        run "$program" "$zorvlog" parse "$dir/service.log.$program"
    done
    round=$((round + 1))
done
echo "load after: $(uptime)"

awk '{
    wall = $2 / 1e6; cpu = $3 + $4
    if (!($1 in bestWall) || wall < bestWall[$1]) bestWall[$1] = wall
    if (!($1 in bestCpu) || cpu < bestCpu[$1]) bestCpu[$1] = cpu
    if ($5 > peak[$1]) peak[$1] = $5
} END {
    split("mawk parse json last10 gzip xz zstd bzip2", order, " ")
    names["mawk"] = "mawk -F\\t {n+=NF}"; names["parse"] = "zorvlog parse"
    names["json"] = "zorvlog parse --json"; names["last10"] = "zorvlog parse -n 10"
    split("gzip xz zstd bzip2", programs, " ")
    for (k = 1; k <= 4; k++) names[programs[k]] = "zorvlog parse ." programs[k]
    printf "%-22s %8s %8s %10s %10s %10s\n", "best of the rounds", "wall s", "CPU s", "wall/mawk", "CPU/mawk", "peak KiB"
    for (k = 1; k <= 8; k++) {
        n = order[k]
        printf "%-22s %8.3f %8.3f %10.2f %10.2f %10d\n", names[n], bestWall[n], bestCpu[n],
            bestWall[n] / (bestWall["mawk"] > 0 ? bestWall["mawk"] : 0.001),
            bestCpu[n] / (bestCpu["mawk"] > 0 ? bestCpu["mawk"] : 0.001), peak[n]
    }
}' "$dir/times"

json=$build/bench/zorvlog/bench_zorvlog_json
if [ -x "$json" ]; then
    "$json" --benchmark_format=console 2>/dev/null | awk '/Ours_Vs_Nlohmann/ {
        for (i = 1; i <= NF; i++) if ($i ~ /^(cpu_ratio|ratio|ours_ns|floor_ns|entries)=/) printf "%s ", $i
        print "(JSON writer: ours / nlohmann-json per 1000 entries)"
    }'
fi
