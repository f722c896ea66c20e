#!/usr/bin/env bash
# unsafe-settings.sh BUILD: runs the rotation and shipping suites with the
# settings the shipped files warn against (bench_ops_settings, as root: the
# writers run as nobody, logrotate as root) and prints one Markdown row per
# setting with what its run lost. ZORV_OPS_SCALE raises the counts as for
# the tests; ZORV_UNSAFE_FILTER picks settings (a GoogleTest filter). The
# figures vary from run to run: they show what a setting risks, not a rate.
set -euo pipefail
build=${1:?usage: unsafe-settings.sh BUILD}
program=$build/bench/ops/bench_ops_settings
[ -x "$program" ] || { echo "unsafe-settings.sh: no $program (configure with tests and benchmarks)" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "unsafe-settings.sh: needs root" >&2; exit 1; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
# A setting that loses records fails its checks: the run goes on.
"$program" --gtest_filter="${ZORV_UNSAFE_FILTER:-Unsafe/*}" >"$out" 2>&1 || true
echo "| setting | records | lost | doubled | not whole on arrival or torn |"
echo "|---|---|---|---|---|"
awk '
  /^\[ RUN      \] Unsafe\// { split($4, part, "[./]"); test = part[2] " " part[4] }
  /^\[ stats    \]/ {
    records = lost = doubled = bad = "?"
    for (i = 1; i <= NF; i++) {
      w = $(i + 1); sub(/[,;]$/, "", w)
      if (w == "records") records = $i
      if (w == "lost") lost = $i
      if (w == "doubled") doubled = $i
      if (w == "not") bad = $i
    }
    printf "| %s | %s | %s | %s | %s |\n", test, records, lost, doubled, bad
  }
  /^\[  SKIPPED \] Unsafe\// { split($4, part, "[./]"); printf "| %s %s | skipped | | | |\n", part[2], part[4] }
' "$out"
