#!/usr/bin/env bash
# Uses an installed tree the way an outside team and its users would: builds a
# client against it with find_package in CMake and with pkg-config, and runs
# the installed zorvlog, qet-send and QET with nothing but the tree (no
# LD_LIBRARY_PATH, no source or build tree paths).
#
#   run-install-test.sh BUILD_DIR CLIENT_DIR           installs BUILD_DIR into a temporary stage first
#   run-install-test.sh --prefix PREFIX CLIENT_DIR     an installed tree, e.g. unpacked packages' usr
set -euo pipefail
work=$(mktemp -d /tmp/zorv-install-XXXXXX)
qet_pid=
finish() {
  [ -z "$qet_pid" ] || kill -KILL "$qet_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT
if [ "$1" = --prefix ]; then
  prefix=$(realpath "$2")
  client_dir=$3
else
  # Staged under DESTDIR, so that a directory configured as absolute (such as
  # /etc for a /usr prefix) lands in the stage too; the tree is then used from
  # the stage, away from the prefix it was installed for.
  client_dir=$2
  DESTDIR=$work/stage cmake --install "$1" --prefix /opt/zorv >/dev/null
  prefix=$work/stage/opt/zorv
fi
fail() { echo "install test: $*" >&2; exit 1; }
unset LD_LIBRARY_PATH
libdir=$(dirname "$(find "$prefix" -name libzorverrorLog.so.5 -print -quit)")
[ "$libdir" != . ] || fail "no libzorverrorLog.so.5 under $prefix"

# Only what was installed may be used: no source or build tree paths.
cmake -S "$client_dir" -B "$work/client-build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/client-build" >/dev/null

export XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run" HOME="$work/home"
# Locks of its own: the installed QET takes the user's instance lock.
export ZORV_LOCK_DIR="$work/lock"
export XDG_DATA_DIRS="$prefix/share"
export ZORV_DEBUG_MODE=1 ZORV_PERF_LOG=1
mkdir -p -m 0700 "$XDG_RUNTIME_DIR" "$HOME"
"$work/client-build/zorv-client" "$work/error.log"

grep -q $'\tVendorID=8 \\[ZorvQet\\]$' "$work/error.log" || fail "no VendorID line with the vendor name from the installed table"
grep -q $'\tZorvQet\tfrom an installed client\t$' "$XDG_DATA_HOME/zorv/ZorvDebug.log" || fail "no debug line"
grep -q ',a:b,c:d,ZorvCore,e,$' "$XDG_DATA_HOME/zorv/ZorvPerfLog.csv" || fail "no performance row"

# The pkg-config file describes the same library.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
pkg-config --exists zorverrorLog || fail "zorverrorLog.pc not found"
# shellcheck disable=SC2046 # the flags are words
c++ -std=c++17 "$client_dir/main.cpp" -o "$work/pc-client" \
  $(pkg-config --cflags --libs zorverrorLog) || fail "pkg-config build failed"

# The programs start from wherever the tree is, on their own run paths.
zorvlog=$prefix/bin/zorvlog
"$zorvlog" --help | grep -q '^Usage: zorvlog' || fail "zorvlog --help"
"$zorvlog" error --vendor ZorvQet --code 2 "$work/tool.log" || fail "zorvlog error"
grep -q $'\tVendorError=2 \\[Another QET' "$work/tool.log" || fail "zorvlog error: no description from the installed table"
"$zorvlog" check-table >/dev/null || fail "zorvlog check-table: the installed table is not clean"
man_pages=$(find "$prefix/share/man/man1" -name 'zorvlog.1*' -o -name 'qet-send.1*' -o -name 'QET.1*' | wc -l)
[ "$man_pages" -eq "$([ -e "$prefix/bin/QET" ] && echo 3 || echo 1)" ] || fail "manual pages missing"

# The completion of the installed zorvlog: COMP_WORDS up to the cursor.
complete_zorvlog() {
  PATH=$prefix/bin:$PATH bash -c 'source /usr/share/bash-completion/bash_completion && source "$1"
    shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _zorvlog zorvlog "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"; echo "${COMPREPLY[*]}"' \
    _ "$prefix/share/bash-completion/completions/zorvlog" zorvlog "$@"
}
[ "$(complete_zorvlog che)" = check-table ] || fail "completion: no command"
[ "$(complete_zorvlog error --vendor zorvq)" = ZorvQet ] || fail "completion: no vendor from the installed table"

if [ -e "$prefix/bin/QET" ]; then
  # The application libraries are QET's own: no development links, not public.
  [ -z "$(find "$prefix" -name 'libqet*.so' -o -path "$libdir/libqet*")" ] ||
    fail "QET application libraries with development links or in the public library directory"
  "$prefix/bin/qet-send" --help 2>/dev/null | grep -q '^Usage: qet-send' || fail "qet-send --help"
  QT_QPA_PLATFORM=offscreen "$prefix/bin/QET" >"$work/qet.out" 2>&1 &
  qet_pid=$!
  for _ in $(seq 1 100); do
    [ -S "$XDG_RUNTIME_DIR/QET.pipe" ] && break
    kill -0 "$qet_pid" 2>/dev/null || fail "QET exited: $(cat "$work/qet.out")"
    sleep 0.1
  done
  "$prefix/bin/qet-send" from the install test || fail "qet-send: not acknowledged"
  grep -q $'\trequest from socket: from the install test' "$XDG_DATA_HOME/zorv/ZorvDebug.log" ||
    fail "QET did not log the request"
  kill -TERM "$qet_pid"
  wait "$qet_pid" || fail "QET exited with status $? on SIGTERM"
  qet_pid=
fi
echo "install test: passed"
