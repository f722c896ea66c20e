#!/usr/bin/env bash
# Compares the binary interface of the two public libraries, as built in
# BUILD_DIR, with the baseline kept in abi/: a change to an exported class
# (a member moved, added or removed, a size changed, a virtual operation
# moved) or a dropped or changed symbol fails. New symbols fail too, so that
# every change of the interface is a decision: after one, regenerate the
# baseline with --update and commit it with the change.
#
#   scripts/check-abi.sh BUILD_DIR            check
#   scripts/check-abi.sh --update BUILD_DIR   write the baseline
set -euo pipefail
update=false
if [ "${1:-}" = "--update" ]; then
  update=true
  shift
fi
build=${1:?usage: check-abi.sh [--update] BUILD_DIR}
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zorv-abi-XXXXXX")
trap 'rm -rf "$work"' EXIT

# library, its public headers
check() {
  local lib=$1 headers=$2 name
  name=$(basename "$lib")
  # Only what the public headers declare; no source locations, which differ
  # from one checkout to the next.
  abidw --drop-private-types --no-show-locs --no-comp-dir-path \
    $(for h in $headers; do printf -- '--headers-dir %s ' "$src/$h"; done) \
    "$build/$lib" >"$work/$name.abi"
  if $update; then
    gzip -9n <"$work/$name.abi" >"$src/abi/$name.abi.gz"
    echo "check-abi: baseline of $name written"
    return 0
  fi
  gzip -dc "$src/abi/$name.abi.gz" >"$work/$name.baseline.abi"
  if ! abidiff --no-show-locs "$work/$name.baseline.abi" "$work/$name.abi"; then
    echo "check-abi: the binary interface of $name differs from abi/$name.abi.gz (above)." >&2
    echo "check-abi: if that is intended, run scripts/check-abi.sh --update $build and commit abi/." >&2
    return 1
  fi
  echo "check-abi: $name as in its baseline"
}

status=0
check zorvutil/libzorvutil.so.5 "zorvutil/include/zorv" || status=1
check errorlog/libzorverrorLog.so.5 "errorlog/include/zorv zorvutil/include/zorv" || status=1
exit $status
