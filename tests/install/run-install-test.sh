#!/usr/bin/env bash
# Uses an installed tree the way an outside team and its users would: builds
# the example client against it (build-example.sh: find_package with no
# pkg-config anywhere, and pkg-config), runs it, adds a code of its component
# to a complete copy of the table as the client guide says, and runs the
# installed zorvlog, qet-send and QET with nothing but the tree (no
# LD_LIBRARY_PATH, no source or build tree paths).
#
#   run-install-test.sh BUILD_DIR EXAMPLE_DIR          installs BUILD_DIR into a temporary stage first
#   run-install-test.sh --prefix PREFIX EXAMPLE_DIR    an installed tree, e.g. unpacked packages' usr
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
  example_dir=$3
else
  # Staged under DESTDIR, so that a directory configured as absolute (such as
  # /etc for a /usr prefix) lands in the stage too; the tree is then used from
  # the stage, away from the prefix it was installed for.
  example_dir=$2
  DESTDIR=$work/stage cmake --install "$1" --prefix /opt/zorv >/dev/null
  prefix=$work/stage/opt/zorv
fi
fail() { echo "install test: $*" >&2; exit 1; }
unset LD_LIBRARY_PATH
libdir=$(dirname "$(find "$prefix" -name libzorverrorLog.so.5 -print -quit)")
[ "$libdir" != . ] || fail "no libzorverrorLog.so.5 under $prefix"
[ "$1" = --prefix ] || grep -qx "prefix=/opt/zorv" "$libdir/pkgconfig/zorverrorLog.pc" ||
  fail "zorverrorLog.pc does not name the prefix given to cmake --install"

# Only what was installed may be used: no source or build tree paths.
"$(dirname "$0")/build-example.sh" "$prefix" "$example_dir" "$work" >/dev/null

export XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run" HOME="$work/home"
# Locks of its own: the installed QET takes the user's instance lock.
export ZORV_LOCK_DIR="$work/lock"
export XDG_DATA_DIRS="$prefix/share"
export ZORV_DEBUG_MODE=1 ZORV_PERF_LOG=1
mkdir -p -m 0700 "$XDG_RUNTIME_DIR" "$HOME"
zorvlog=$prefix/bin/zorvlog
"$work/zorv-client-example" "$work/error.log" >/dev/null

grep -q $'\tVendorID=10 \\[ZorvFell\\]$' "$work/error.log" || fail "no VendorID line with the vendor name from the installed table"
grep -q $'\tZorvFell\tclient example started\t$' "$XDG_DATA_HOME/zorv/ZorvDebug.log" || fail "no debug line"
grep -q ',ZorvFell,client-example,$' "$XDG_DATA_HOME/zorv/ZorvPerfLog.csv" || fail "no performance row"

# The component's code in a complete copy of the installed table, where the
# library looks first, as the client guide has it.
table=$XDG_DATA_HOME/zorv/ZorvErrorCodes.xml
sed 's|<NAME>ZorvFell</NAME>|&\n    <ERROR CODE="1">\n      <DESCRIPTION>The settings file cannot be read</DESCRIPTION>\n    </ERROR>|' \
  "$prefix/share/zorv/ZorvErrorCodes.xml" >"$table"
"$zorvlog" check-table >/dev/null || fail "zorvlog check-table: the amended copy is not clean"
"$work/zorv-client-example" "$work/amended.log" >/dev/null
grep -q $'\tVendorError=1 \\[The settings file cannot be read\\]$' "$work/amended.log" ||
  fail "no description from the amended copy"
rm "$table"

# The programs start from wherever the tree is, on their own run paths.
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
