#!/usr/bin/env bash
# The records' rows of the performance table: each record against its floor
# (open, one write, close), and several processes on one file against the
# locked floor, all measured in this one run, one program after the other.
# Prints Markdown rows "| measure | measured | target |"; the single-process
# figures are CPU-time ratios (cpu_ratio), which a busy machine moves least.
#
#   bench/records/rows.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: rows.sh BUILD_DIR}
work=$(mktemp -d "${TMPDIR:-/tmp}/zorv-rows-XXXXXX")
trap 'rm -rf "$work"' EXIT

# The programs' own words go to stderr; the figures, to a file each.
"$build/bench/bench_records" --benchmark_out_format=json --benchmark_out="$work/records.json" \
  --benchmark_filter='^(BM_EnabledDebugRecord|BM_FloorWithIdentityCheck|BM_FixedSystemErrorRecord)_Alternating(/|$)' >&2
"$build/bench/bench_logger" --benchmark_out_format=json --benchmark_out="$work/logger.json" \
  --benchmark_filter='^BM_LogVsFloor_Alternating(/|$)' >&2
ZORV_PEERS_ROUNDS=${ZORV_PEERS_ROUNDS:-8} "$build/bench/peers/bench_peers_procs" \
  --benchmark_out_format=json --benchmark_out="$work/procs.json" \
  --benchmark_filter='^BM_Procs_SideBySide/[24]/' >&2

python3 - "$work" <<'PY'
import json, re, sys

work = sys.argv[1]
found = {}
for name in ("records", "logger", "procs"):
    with open(f"{work}/{name}.json") as f:
        for b in json.load(f)["benchmarks"]:
            found[b["name"]] = b

def one(pattern):
    hits = [b for n, b in found.items() if re.search(pattern, n)]
    if len(hits) != 1:
        sys.exit(f"rows.sh: {len(hits)} benchmarks match {pattern}")
    return hits[0]

rows = [
    ("one-line debug record / open+write+close (CPU)",
     one(r"^BM_EnabledDebugRecord_Alternating")["cpu_ratio"], "≤ 1.15"),
    ("the floor with the fast open's look at the file (statx) / open+write+close (CPU)",
     one(r"^BM_FloorWithIdentityCheck_Alternating")["cpu_ratio"], "-"),
    ("three key/value lines / open+write+close (CPU)",
     one(r"^BM_LogVsFloor_Alternating")["cpu_ratio"], "≤ 1.20"),
    ("error record without its child / open+write+close (CPU)",
     one(r"^BM_FixedSystemErrorRecord_Alternating")["cpu_ratio"], "≤ 1.30"),
    ("two processes, records per second / locked floor",
     one(r"^BM_Procs_SideBySide/2/")["ours_vs_floor"], "≥ 0.90"),
    ("four processes, records per second / locked floor",
     one(r"^BM_Procs_SideBySide/4/")["ours_vs_floor"], "≥ 0.90"),
]
for measure, value, target in rows:
    print(f"| {measure} | {value:.2f} | {target} |")
PY
