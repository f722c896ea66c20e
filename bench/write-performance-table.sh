#!/usr/bin/env bash
# write-performance-table.sh BUILD: runs every bench/*/rows.sh against the
# build directory BUILD and puts the rows they print, under one header, in
# docs/performance.md between the table markers, with a line on the machine
# they were measured on. Nothing else in the page changes. A rows.sh prints
# Markdown rows "| measure | measured | target |" on stdout and nothing else
# there; one that fails leaves the page as it was.
set -euo pipefail
build=${1:?usage: write-performance-table.sh BUILD}
build=$(cd "$build" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
page=$src/docs/performance.md
begin='<!-- table: begin -->'
end='<!-- table: end -->'
grep -qxF "$begin" "$page" && grep -qxF "$end" "$page" ||
  { echo "write-performance-table.sh: no table markers in $page" >&2; exit 1; }

rows=$(mktemp)
new=$(mktemp)
trap 'rm -f "$rows" "$new"' EXIT
load=$(cut -d' ' -f1 /proc/loadavg)
for script in "$src"/bench/*/rows.sh; do
  [ -e "$script" ] || continue
  echo "write-performance-table.sh: ${script#"$src"/}" >&2
  out=$(bash "$script" "$build") ||
    { echo "write-performance-table.sh: ${script#"$src"/} failed; the page is unchanged" >&2; exit 1; }
  bad=$(grep -v '^|.*|.*|.*|$' <<<"$out" | grep -v '^$' || true)
  [ -z "$bad" ] || { echo "write-performance-table.sh: ${script#"$src"/} printed a line that is not a row: $bad" >&2; exit 1; }
  grep '^|' <<<"$out" >>"$rows" || true
done
load="$load-$(cut -d' ' -f1 /proc/loadavg)"

{
  echo "$begin"
  echo "| measure | measured | target |"
  echo "|---|---|---|"
  cat "$rows"
  echo
  echo "Measured on $(nproc) CPUs ($(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n1)), load average $load (from the first script to the last), a $(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt") build."
  echo "$end"
} >"$new"
awk -v begin="$begin" -v end="$end" -v table="$new" '
  $0 == begin { while ((getline line < table) > 0) print line; skip = 1; next }
  $0 == end { skip = 0; next }
  !skip { print }' "$page" >"$page.new"
mv "$page.new" "$page"
echo "write-performance-table.sh: $(wc -l <"$rows") rows in ${page#"$src"/}" >&2
