#!/usr/bin/env bash
# QET started by the service manager's socket activation, through
# systemd-socket-activate, which holds the socket as qet.socket does and passes
# no environment unless told: QET must serve on the socket it is handed
# (answer qet-send, log the request), turn a QET started by hand into a
# second QET, and leave the socket file in place when it ends. Given zorvlog,
# also that 'zorvlog status' starts no QET and then finds the activated one.
#
#   socket-activation.sh QET QET-SEND [ZORVLOG]    (exit 77 when the tool is missing)
set -euo pipefail
command -v systemd-socket-activate >/dev/null || exit 77
qet=$(realpath "$1")
send=$(realpath "$2")
zorvlog=${3:+$(realpath "$3")}
dir=$(mktemp -d /tmp/zorv-activation-XXXXXX)
activated=
trap '[ -z "$activated" ] || kill -9 "$activated" 2>/dev/null; rm -rf "$dir"' EXIT
mkdir -m 700 "$dir/run" "$dir/home" "$dir/lock"
unset LD_LIBRARY_PATH
export XDG_RUNTIME_DIR=$dir/run XDG_DATA_HOME=$dir/data HOME=$dir/home ZORV_LOCK_DIR=$dir/lock
export XDG_DATA_DIRS=$(dirname "$qet")/../share QT_QPA_PLATFORM=offscreen ZORV_DEBUG_MODE=1
socket=$XDG_RUNTIME_DIR/QET.pipe
fail() {
  echo "socket activation: $*" >&2
  cat "$dir/qet.out" >&2
  exit 1
}

pass=()
for name in QT_QPA_PLATFORM XDG_RUNTIME_DIR XDG_DATA_HOME XDG_DATA_DIRS HOME ZORV_LOCK_DIR \
  ZORV_DEBUG_MODE ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS; do
  [ -z "${!name+set}" ] || pass+=(-E "$name")
done
systemd-socket-activate -l "$socket" "${pass[@]}" "$qet" >"$dir/qet.out" 2>&1 &
activated=$!
for _ in $(seq 200); do
  [ -S "$socket" ] && break
  sleep 0.05
done
[ -S "$socket" ] || fail "no socket at $socket"
# Its exit status is left aside: a tree may have no table.
qet_status() { "$zorvlog" status --json | jq -c .qet || true; }
if [ -n "$zorvlog" ]; then
  found=$(qet_status)
  jq -e '.state == "not serving"' <<<"$found" >/dev/null || fail "zorvlog status: $found"
  sleep 0.5
  [ ! -e "$XDG_DATA_HOME/zorv/ZorvDebug.log" ] || fail "zorvlog status started QET"
fi
"$send" from the service manager || fail "qet-send was not acknowledged"
grep -q $'\trequest from socket: from the service manager\t' "$XDG_DATA_HOME/zorv/ZorvDebug.log" ||
  fail "QET did not log the request"
if [ -n "$zorvlog" ]; then
  found=$(qet_status)
  jq -e --arg socket "$socket" '.state == "serving" and .socket == $socket' <<<"$found" >/dev/null ||
    fail "zorvlog status does not see the activated QET: $found"
fi
status=0
timeout 20 "$qet" alone >/dev/null 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "a QET started by hand beside it exited with $status, not 1"
"$qet" handed over || fail "a QET started by hand did not hand over its two arguments"
kill -TERM "$activated"
status=0
wait "$activated" || status=$?
activated=
[ "$status" -eq 0 ] || fail "QET exited with $status on SIGTERM"
[ -S "$socket" ] || fail "QET removed the socket file, which belongs to the service manager"
echo "socket activation: served, and the socket is still in place"
