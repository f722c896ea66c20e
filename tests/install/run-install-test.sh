#!/usr/bin/env bash
# Installs the build into a temporary prefix, then configures, builds and runs a
# client project against it the way an outside team would: find_package in
# CMake, and pkg-config.
set -euo pipefail
build_dir=$1
client_dir=$2
work=$(mktemp -d /tmp/zorv-install-XXXXXX)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null

# Only what was installed may be used: no source or build tree paths.
cmake -S "$client_dir" -B "$work/client-build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/client-build" >/dev/null

export XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run" HOME="$work/home"
export XDG_DATA_DIRS="$work/prefix/share"
export ZORV_DEBUG_MODE=1 ZORV_PERF_LOG=1
mkdir -p "$XDG_RUNTIME_DIR" "$HOME"
"$work/client-build/zorv-client" "$work/error.log"

fail() { echo "install test: $*" >&2; exit 1; }
grep -q $'\tVendorID=8 \\[ZorvQet\\]$' "$work/error.log" || fail "no VendorID line with the vendor name from the installed table"
grep -q $'\tZorvQet\tfrom an installed client\t$' "$XDG_DATA_HOME/zorv/ZorvDebug.log" || fail "no debug line"
grep -q ',a:b,c:d,ZorvCore,e,$' "$XDG_DATA_HOME/zorv/ZorvPerfLog.csv" || fail "no performance row"

# The pkg-config file describes the same library.
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/lib/x86_64-linux-gnu/pkgconfig" \
  pkg-config --exists zorverrorLog || fail "zorverrorLog.pc not found"
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/lib/x86_64-linux-gnu/pkgconfig" \
  c++ -std=c++17 "$client_dir/main.cpp" -o "$work/pc-client" \
  $(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/lib/x86_64-linux-gnu/pkgconfig" pkg-config --cflags --libs zorverrorLog) \
  -Wl,-rpath,"$work/prefix/lib" || fail "pkg-config build failed"
echo "install test: passed"
