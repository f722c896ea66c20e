#!/usr/bin/env bash
# Builds the example client against an installed tree the two ways the client
# guide gives, with nothing but the tree and what libzorverrorlog-dev depends
# on: CMake's find_package with no pkg-config anywhere CMake could find one
# (the -dev package brings none), and pkg-config (the guide's route after
# 'apt install pkgconf'). The lower-case names resolve too. The programs land
# in OUT_DIR as zorv-client-example and pc-client-example.
#
#   build-example.sh PREFIX EXAMPLE_DIR OUT_DIR
set -euo pipefail
prefix=$(realpath "$1")
example=$(realpath "$2")
out=$(realpath "$3")
fail() { echo "build example: $*" >&2; exit 1; }
work=$(mktemp -d /tmp/zorv-example-XXXXXX)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH PKG_CONFIG_PATH

# A PATH that holds every program of the system but pkg-config, and system
# program directories CMake does not search by itself (it looks in <prefix>/bin
# of every system prefix, whatever PATH says).
mkdir "$work/bin"
for program in /usr/bin/*; do
  case ${program##*/} in pkg-config | pkgconf | *-pkg-config) continue ;; esac
  ln -s "$program" "$work/bin/"
done
no_pkg_config=(env "PATH=$work/bin")
ignore="-DCMAKE_IGNORE_PATH=/usr/bin;/bin;/usr/sbin;/sbin;/usr/local/bin;/usr/local/sbin"
! "${no_pkg_config[@]}" sh -c 'command -v pkg-config' >/dev/null || fail "pkg-config is still on PATH"

"${no_pkg_config[@]}" cmake -S "$example" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  "$ignore" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log" >&2; fail "find_package(ZorvErrorLog 5)"; }
"${no_pkg_config[@]}" cmake --build "$work/build" >/dev/null || fail "the CMake build"
cp "$work/build/zorv-client-example" "$out/"

# The example once more, with the CMake package under its lower-case name.
mkdir "$work/lower"
sed 's/find_package(ZorvErrorLog 5/find_package(zorverrorlog 5/' "$example/CMakeLists.txt" >"$work/lower/CMakeLists.txt"
grep -q 'find_package(zorverrorlog' "$work/lower/CMakeLists.txt" || fail "the example no longer says find_package(ZorvErrorLog 5"
cp "$example/main.cpp" "$work/lower/"
"${no_pkg_config[@]}" cmake -S "$work/lower" -B "$work/lower/build" -DCMAKE_PREFIX_PATH="$prefix" \
  "$ignore" >"$work/lower.log" 2>&1 || { cat "$work/lower.log" >&2; fail "find_package(zorverrorlog 5)"; }

# The .pc names the prefix it was installed for; a tree used from elsewhere
# (unpacked packages, a moved stage) gives its own.
pc_dir=$(dirname "$(find "$prefix" -name zorverrorLog.pc -print -quit)")
[ "$pc_dir" != . ] || fail "no zorverrorLog.pc under $prefix"
pc=(env "PKG_CONFIG_PATH=$pc_dir" pkg-config --define-variable=prefix="$prefix")
# shellcheck disable=SC2046 # the flags are words
c++ -std=c++17 "$example/main.cpp" -o "$out/pc-client-example" \
  $("${pc[@]}" --cflags --libs zorverrorlog) || fail "the pkg-config build"
! "${pc[@]}" --libs zorverrorLog | grep -q tinyxml || fail "clients are told to link TinyXML"
echo "build example: passed"
