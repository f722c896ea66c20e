#!/usr/bin/env bash
# QET as the user's service manager starts it: systemd-socket-activate holds
# the socket, as qet.socket does, and starts QET with LISTEN_FDS/LISTEN_PID
# and only the environment it is told to pass. QET must answer qet-send on
# that socket, make a hand-started QET the second one, and leave the socket
# file in place when it ends.
#
#   socket-activation-test.sh PREFIX    an installed tree, e.g. unpacked packages' usr
set -euo pipefail
prefix=$(realpath "$1")
fail() { echo "socket activation test: $*" >&2; exit 1; }

# Only a QET whose code reads LISTEN_FDS (itself or through libsystemd) can
# serve on a handed socket; an older one is skipped, and says so.
qet_files=$(find "$prefix" -path '*/bin/QET' -o -path '*/zorv/libqet*.so.*')
if ! grep -qa LISTEN_FDS $qet_files &&
  ! { readelf -d $qet_files | grep 'NEEDED.*libsystemd' >/dev/null; }; then
  echo "socket activation test: skipped: this QET does not take its socket from a service manager (no LISTEN_FDS)"
  exit 0
fi

work=$(mktemp -d /tmp/zorv-activation-XXXXXX)
activator=
finish() {
  [ -z "$activator" ] || kill -KILL "$activator" 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT
export XDG_RUNTIME_DIR=$work/run HOME=$work/home XDG_DATA_HOME=$work/data
export XDG_DATA_DIRS=$prefix/share QT_QPA_PLATFORM=offscreen ZORV_DEBUG_MODE=1
unset LD_LIBRARY_PATH
mkdir -p -m 0700 "$XDG_RUNTIME_DIR" "$HOME" "$XDG_DATA_HOME"
socket=$XDG_RUNTIME_DIR/QET.pipe

systemd-socket-activate -l "$socket" -E QT_QPA_PLATFORM -E XDG_RUNTIME_DIR -E HOME \
  -E XDG_DATA_HOME -E XDG_DATA_DIRS -E ZORV_DEBUG_MODE "$prefix/bin/QET" >"$work/qet.out" 2>&1 &
activator=$!
for _ in $(seq 1 100); do
  [ -S "$socket" ] && break
  sleep 0.1
done
"$prefix/bin/qet-send" from the service manager ||
  fail "qet-send was not acknowledged; QET said: $(cat "$work/qet.out")"
grep -q $'\trequest from socket: from the service manager' "$XDG_DATA_HOME/zorv/ZorvDebug.log" ||
  fail "QET did not log the request"

status=0
timeout 20 "$prefix/bin/QET" >/dev/null 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "a hand-started QET beside the activated one exited with $status, not 1"

kill -TERM "$activator"
status=0
wait "$activator" || status=$?
activator=
[ "$status" -eq 0 ] || fail "QET exited with $status on SIGTERM"
[ -S "$socket" ] || fail "QET removed the socket file, which belongs to the service manager"
echo "socket activation test: passed"
