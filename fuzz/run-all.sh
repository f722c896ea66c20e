#!/usr/bin/env bash
# Runs every libFuzzer target built in BUILD_DIR for SECONDS each, one after
# the other, on a scratch copy of its seed corpus (the committed corpus stays
# as it is). Fails on the first finding, leaving the input that triggered it
# beside the scratch corpus. Prints the executions of each target.
#   fuzz/run-all.sh BUILD_DIR SECONDS
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zorv-fuzz-run.XXXXXX")
echo "fuzz scratch directory: $work"

# Documents too large to commit: a table of several megabytes (many vendors
# and codes, so lookups walk far) and a nesting several megabytes deep.
make_large_tables() { # dir
  python3 - "$1" <<'PY'
import sys
out = sys.argv[1]
parts = ['<?xml version="1.0"?>\n<ERRORTABLES>\n']
for vendor in range(0, 300):
    parts.append('<TABLE VENDORID="%d"><NAME>Vendor %d</NAME>\n' % (vendor, vendor))
    for code in range(0, 120):
        parts.append('<ERROR CODE="%d"><DESCRIPTION>Description %d of %d</DESCRIPTION></ERROR>\n'
                     % (code - 60, code, vendor))
    parts.append('</TABLE>\n')
parts.append('</ERRORTABLES>\n')
open(out + '/large-table.xml', 'w').write(''.join(parts))
depth = 600000
open(out + '/deep-nesting.xml', 'w').write('<ERRORTABLES>' + '<a>' * depth + '</a>' * depth + '</ERRORTABLES>')
PY
}

# One small log, plain and in every compressed format a generation may have.
make_compressed_logs() { # dir
  python3 - "$1" <<'PY'
import bz2, gzip, lzma, sys
out = sys.argv[1]
text = b''.join(b'%d\t2026/12/06\t17:05:%02d\tZorvCore\trecord %d\n' % (n, n % 60, n)
                for n in range(40)) + b'torn'
open(out + '/plain.log', 'wb').write(text)
open(out + '/log.gz', 'wb').write(gzip.compress(text))
open(out + '/log.xz', 'wb').write(lzma.compress(text))
open(out + '/log.bz2', 'wb').write(bz2.compress(text))
open(out + '/two.gz', 'wb').write(gzip.compress(text[:100]) + gzip.compress(text[100:]))
PY
  if command -v zstd >/dev/null 2>&1; then
    zstd -q -c "$1/plain.log" >"$1/log.zst"
  fi
}

status=0
summary=""
for target in error_table nesting_scan qet_frame uname log_input; do
  exe="$build/fuzz/fuzz_$target"
  if [ ! -x "$exe" ]; then
    echo "== fuzz_$target: not built, skipped"
    summary+="fuzz_$target: not built"$'\n'
    continue
  fi
  corpus="$work/$target"
  mkdir -p "$corpus" "$work/artifacts-$target"
  if [ -d "$here/corpus/$target" ]; then
    cp -r "$here/corpus/$target/." "$corpus/"
  fi
  extra=()
  if [ "$target" = error_table ]; then
    make_large_tables "$corpus"
    extra+=(-max_len=8388608)
  fi
  if [ "$target" = nesting_scan ]; then
    # The error table's seeds serve here too. Inputs stay small enough for
    # the parser to run on them safely (see FuzzNestingScan.cpp).
    cp -r "$here/corpus/error_table/." "$corpus/"
    extra+=(-max_len=8192 -dict="$here/nesting_scan.dict")
  fi
  if [ "$target" = log_input ]; then
    # Seeds in each format it reads, made here rather than committed.
    make_compressed_logs "$corpus"
  fi
  echo "== fuzz_$target for $seconds s"
  log="$work/$target.log"
  set +e
  "$exe" "${extra[@]}" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts-$target/" "$corpus" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  if [ $rc -ne 0 ]; then
    tail -n 60 "$log"
    echo "== fuzz_$target: FINDING (exit $rc), inputs in $work/artifacts-$target/"
    summary+="fuzz_$target: FINDING after ${execs:-?} executions"$'\n'
    status=1
    continue
  fi
  summary+="fuzz_$target: ${execs:-?} executions in $seconds s, no finding"$'\n'
done
echo "== fuzz summary"
printf '%s' "$summary"
if [ $status -eq 0 ]; then
  rm -rf "$work"
fi
exit $status
