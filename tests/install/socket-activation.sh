#!/usr/bin/env bash
# QET started by the service manager's socket activation, through
# systemd-socket-activate (which passes no environment unless told): it serves
# on the socket it is handed, answers qet-send, turns a QET started by hand
# into a second QET, and leaves the socket file in place when it ends.
# Usage: socket-activation.sh QET QET-SEND (exit 77 when the tool is missing)
set -euo pipefail
command -v systemd-socket-activate >/dev/null || exit 77
qet=$(realpath "$1")
send=$(realpath "$2")
dir=$(mktemp -d)
activated=
trap '[ -z "$activated" ] || kill -9 "$activated" 2>/dev/null; rm -rf "$dir"' EXIT
mkdir -m 700 "$dir/run" "$dir/home" "$dir/lock"
export XDG_RUNTIME_DIR=$dir/run XDG_DATA_HOME=$dir/data HOME=$dir/home ZORV_LOCK_DIR=$dir/lock
export QT_QPA_PLATFORM=offscreen
socket=$XDG_RUNTIME_DIR/QET.pipe
fail() {
  echo "socket activation: $*" >&2
  cat "$dir/qet.out" >&2
  exit 1
}

pass=()
for name in QT_QPA_PLATFORM XDG_RUNTIME_DIR XDG_DATA_HOME HOME ZORV_LOCK_DIR \
  ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS; do
  [ -z "${!name+set}" ] || pass+=(-E "$name")
done
systemd-socket-activate -l "$socket" "${pass[@]}" "$qet" >"$dir/qet.out" 2>&1 &
activated=$!
for _ in $(seq 200); do
  [ -S "$socket" ] && break
  sleep 0.05
done
[ -S "$socket" ] || fail "no socket at $socket"
"$send" hello activated || fail "qet-send was not acknowledged"
if "$qet" alone 2>/dev/null; then fail "a QET started by hand served beside it"; fi
"$qet" handed over || fail "a QET started by hand did not forward its arguments"
kill -TERM "$activated"
wait "$activated" || fail "QET did not end cleanly"
activated=
[ -S "$socket" ] || fail "the socket file was removed"
echo "socket activation: served, and the socket is still in place"
