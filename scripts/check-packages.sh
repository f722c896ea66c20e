#!/usr/bin/env bash
# Builds the Debian packages from a temporary copy of the tree and checks them
# as a user would get them, without installing anything into the system:
# lintian (no error, no warning; and none of the tags below even at pedantic
# level), the build's leftovers ignored by git, each package's documentation
# (its index and the pages it lists, whole, uncompressed, its relative links
# resolving inside the package, the paths that configs and manual pages name
# present), the README's install line for each role simulated by apt, what
# each package holds and depends on (zorv-tools without Qt, qet-send in qet
# replacing the old zorv-tools), the rsyslog configurations with the packages
# they name accepted by rsyslogd, the client guide's steps run as written, the
# installed example built against a root of the -dev package and its
# dependencies alone, the packages unpacked with dpkg -x into a temporary root,
# the install test against that root with the installed example (the programs
# on their own run paths), zorvlog --help, every manual page rendered without a
# warning, the user units and the journal follower's unit verified, the
# autostart entry validated, and QET
# under socket activation. The test suites do not run again in the package
# build (nocheck): CI has run them on the tree.
#
#   scripts/check-packages.sh [OUT_DIR]   OUT_DIR keeps the packages (default: removed)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zorv-packages-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check-packages: $*" >&2; exit 1; }
step() { echo "-- $*"; }

step "copy of the tree"
mkdir "$work/tree"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$src" ls-files -z --cached --others --exclude-standard |
    tar -C "$src" --null --no-recursion -T - -cf - | tar -xf - -C "$work/tree"
else
  tar -C "$src" --exclude='./build*' -cf - . | tar -xf - -C "$work/tree"
fi

(cd "$work/tree" && find . -type f | sort) >"$work/tree-files"

step "dpkg-buildpackage"
if ! (cd "$work/tree" &&
  DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" DEB_BUILD_PROFILES=nocheck \
    dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1; then
  tail -n 60 "$work/build.log" >&2
  fail "the package build failed"
fi
changes=$(echo "$work"/zorv_*.changes)

step "lintian"
lintian -I --pedantic --fail-on error,warning "$changes" >"$work/lintian.log" 2>&1 ||
  { cat "$work/lintian.log" >&2; fail "lintian reports errors or warnings"; }
# Documentation where users look for it, whole, and no path said twice.
tags='package-contains-documentation-outside-usr-share-doc|hardening-no-fortify-functions|repeated-path-segment'
! grep -E ": ($tags) " "$work/lintian.log" >&2 || fail "lintian: documentation or hardening tags"

step "the build's leftovers are ignored by git"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  leftovers=$( (cd "$work/tree" && find . -type f | sort) | comm -13 "$work/tree-files" - |
    sed 's|^\./||' | { git -C "$src" check-ignore --no-index --stdin -n -v || true; } | sed -n 's/^::\t//p')
  [ -z "$leftovers" ] || fail "the package build leaves files that git does not ignore: $leftovers"
fi

step "unpacked into a temporary root"
root=$work/root
for deb in "$work"/*.deb; do
  case $deb in *-dbgsym_*) continue ;; esac
  dpkg -x "$deb" "$root"
done
[ -z "${1:-}" ] || { mkdir -p "$1" && cp "$work"/*.deb "$changes" "$1"/; }

step "documentation in each package"
# Each package unpacked alone: a page's links must resolve in its own package.
for deb in "$work"/*.deb; do
  case $deb in *-dbgsym_*) continue ;; esac
  package=$(dpkg-deb -f "$deb" Package)
  mkdir -p "$work/alone/$package"
  dpkg -x "$deb" "$work/alone/$package"
  docs=$work/alone/$package/usr/share/doc/$package
  ! ls "$docs"/*.md.gz >/dev/null 2>&1 || fail "$package: compressed pages (their links break)"
  for page in "$docs"/*.md; do
    [ -e "$page" ] || continue
    # Relative links to files; a link's #anchor is dropped, web links are not ours.
    links=$(grep -o '](\([^)#]*\)' "$page" | sed 's/^](//' | grep -v -E '^$|^[a-z]+:' | sort -u || true)
    for link in $links; do
      [ -e "$(dirname "$page")/$link" ] || fail "$package: ${page##*/} links to $link, not in the package"
    done
  done
done
operator=(index operations zorvlog log-format environment error-table directory-policy upgrading README)
[ ! -e "$src/docs/troubleshooting.md" ] || operator+=(troubleshooting)
for page in "${operator[@]/#/zorv-tools/}" qet/qet \
  libzorverrorlog-dev/{index,client-guide,error-table,log-format,environment,named-mutex}; do
  [ -s "$work/alone/${page%%/*}/usr/share/doc/$page.md" ] || fail "/usr/share/doc/$page.md is not installed"
done
# A package's pages are those its index lists: the design pages stay in the
# source tree.
for package in zorv-tools libzorverrorlog-dev; do
  docs=$work/alone/$package/usr/share/doc/$package
  for page in "$docs"/*.md; do
    [ "${page##*/}" = index.md ] || grep -qF "](${page##*/})" "$docs/index.md" ||
      fail "$package: ${page##*/} is installed but not listed by its index.md"
  done
done
[ -z "$(find "$root/usr/share/zorv" -name '*.md')" ] || fail "pages under /usr/share/zorv"
# Every installed documentation path that a shipped config, unit or manual
# page names exists once the packages are in place.
{
  grep -rhoE '/usr/share/doc/[A-Za-z0-9._/-]*[A-Za-z0-9_]' "$root/usr/share/zorv" || true
  for page in "$root"/usr/share/man/man1/*.1.gz; do
    zcat "$page" | sed 's/\\-/-/g' | grep -oE '/usr/share/doc/[A-Za-z0-9._/-]*[A-Za-z0-9_]' || true
  done
} | sort -u >"$work/named-docs"
[ -s "$work/named-docs" ] || fail "no config or manual page names the installed documentation"
while read -r path; do
  [ -e "$root$path" ] || fail "$path is named by a config or manual page but not installed"
done <"$work/named-docs"

step "the README's install line for each role, simulated"
# apt resolves local packages only when every one of ours that they need is
# named: each role's line must stand on its own.
roles=$(grep -E '^apt install \./' "$src/README.md") || fail "README.md has no role's install line"
[ "$(wc -l <<<"$roles")" -ge 3 ] || fail "README.md has fewer than three roles' install lines"
while read -r line; do
  read -ra words <<<"${line#apt install }"
  (
    cd "$work"
    shopt -s failglob
    # shellcheck disable=SC2206 # the words are globs to expand here
    args=(${words[*]})
    apt-get install -s -q "${args[@]}" >"$work/role.log" 2>&1
  ) || { cat "$work/role.log" >&2; fail "README's line does not install: $line"; }
done <<<"$roles"
! grep -E '^apt install .*qet_' <<<"$(head -n1 <<<"$roles")" || fail "the server's line installs QET"
(cd "$work/tree" && apt-get build-dep -s -q ./ >"$work/build-dep.log" 2>&1) ||
  { cat "$work/build-dep.log" >&2; fail "apt-get build-dep ./ does not resolve"; }

step "what each package holds and pulls in"
field() { dpkg-deb -f "$work/${1}_"*.deb "$2"; }
! grep -qi qt <<<"$(field zorv-tools Depends) $(field zorv-tools Recommends)" ||
  fail "zorv-tools depends on Qt or recommends it"
grep -q '/usr/bin/qet-send$' <<<"$(dpkg-deb -c "$work"/qet_*.deb)" || fail "qet-send is not in qet"
# qet-send was zorv-tools' before: an upgrade must not stop on the moved file.
for relation in Breaks Replaces; do
  grep -q 'zorv-tools (<< ' <<<"$(field qet "$relation")" || fail "qet has no $relation on the old zorv-tools"
done
examples=$root/usr/share/doc/libzorverrorlog-dev/examples
for file in CMakeLists.txt main.cpp; do
  cmp "$examples/$file" "$work/tree/examples/client/$file" || fail "the installed example $file"
done
grep -qx 'prefix=/usr' "$root"/usr/lib/*/pkgconfig/zorverrorLog.pc || fail "zorverrorLog.pc: prefix is not /usr"

step "rsyslog configurations"
# Each names the packages it needs in its head; zorv-tools suggests them, and
# with them installed rsyslogd accepts the configuration as it is shipped, a
# drop-in of Debian's /etc/rsyslog.conf (which sets the work directory) in
# place of /etc/rsyslog.d/.
grep -q '^\$IncludeConfig ' /etc/rsyslog.conf || fail "/etc/rsyslog.conf includes no drop-ins"
for conf in "$root"/usr/share/zorv/contrib/rsyslog/*.conf; do
  needs=$(sed -n 's/^# Needs: \([^(]*\).*/\1/p' "$conf" | tr ',' ' ')
  [ -n "$needs" ] || fail "${conf##*/} does not name the packages it needs"
  for package in $needs; do
    grep -qE "(^|, )$package(,|$)" <<<"$(field zorv-tools Suggests)" ||
      fail "${conf##*/} needs $package, which zorv-tools does not suggest"
    [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ] ||
      fail "$package is not installed here (scripts/deps.sh installs it)"
  done
  sed "s|^\\\$IncludeConfig .*|\\\$IncludeConfig $conf|" /etc/rsyslog.conf >"$work/rsyslog.conf"
  out=$(rsyslogd -N1 -f "$work/rsyslog.conf" 2>&1) || fail "rsyslogd -N1, ${conf##*/} as a drop-in: $out"
done

step "the example against the -dev package and what it depends on, nothing else"
devroot=$work/devroot
for package in libzorverrorlog-dev $(field libzorverrorlog-dev Depends | tr ',' '\n' |
  sed -n 's/^ *\([a-z0-9.+-]*\).*/\1/p'); do
  debs=("$work/${package}_"*.deb)
  [ -e "${debs[0]}" ] || continue # not ours: the system has it (the build needed it)
  dpkg -x "${debs[0]}" "$devroot"
done
[ ! -e "$devroot/usr/share/zorv" ] && [ ! -e "$devroot/usr/bin" ] || fail "the -dev root holds more than it should"
mkdir "$work/devroot-example"
"$src/tests/install/build-example.sh" "$devroot/usr" "$devroot/usr/share/doc/libzorverrorlog-dev/examples" \
  "$work/devroot-example"

step "the client guide's steps, as written"
# The shell blocks of the guide's first section and of its local table, run
# in order in one shell, in the directory of the .deb files, as a new user
# with a home of their own: apt simulated (as for the README), /usr/ meaning
# the unpacked root, where the tools, the libraries and the table are found.
guide=$root/usr/share/doc/libzorverrorlog-dev/client-guide.md
awk '/^## /{on = /^## (Build the example|Adding a component)/} /^### /{on = on && !/^### From/}
  on && /^ *```sh$/ {code = 1; next} code && /^ *```$/ {code = 0; next} code {sub(/^  /, ""); print}' \
  "$guide" | sed "s| /usr/| $root/usr/|g" >"$work/guide.sh"
grep -q '^apt install \./' "$work/guide.sh" || fail "the client guide installs no local package"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
mkdir "$work/guide-home"
(
  cd "$work"
  apt() { [ "$1" = install ] && shift && apt-get install -s -q "$@" >"$work/guide-apt.log"; }
  unset XDG_DATA_HOME
  export HOME=$work/guide-home PATH=$root/usr/bin:$PATH CMAKE_PREFIX_PATH=$root/usr \
    XDG_DATA_DIRS=$root/usr/share LD_LIBRARY_PATH=$root/usr/lib/$multiarch \
    PKG_CONFIG_PATH=$root/usr/lib/$multiarch/pkgconfig PKG_CONFIG_SYSROOT_DIR=$root
  set -e
  # shellcheck disable=SC1091 # the guide's own lines
  . "$work/guide.sh"
) >"$work/guide.log" 2>&1 || { cat "$work/guide.log" "$work/guide-apt.log" >&2; fail "a step of the client guide fails"; }
data=$work/guide-home/.local/share/zorv
grep -qF "$data/ZorvErrorCodes.xml" "$work/guide.log" || fail "check-table does not take the guide's local table"
"$root/usr/bin/zorvlog" parse --json "$work/zorv-example/client.log" "$data/ZorvDebug.log" \
  "$data/ZorvPerfLog.csv" | jq -e -s 'length == 3 and (.[0] | .reason != "Fatal error"
    and .vendorName == "ZorvFell") and .[1].component == "ZorvFell" and .[2].component == "ZorvFell"' \
  >/dev/null || fail "the guide's run does not give the three records it describes"

step "install test"
"$src/tests/install/run-install-test.sh" --prefix "$root/usr" "$examples"
env -u LD_LIBRARY_PATH "$root/usr/bin/zorvlog" --help >/dev/null || fail "zorvlog --help"
readelf -d "$root/usr/bin/QET" | grep 'NEEDED.*\[libzorverrorLog\.so\.5\]' >/dev/null ||
  fail "QET no longer names libzorverrorLog.so.5 as a needed library"

step "manual pages"
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(MANWIDTH=80 man --warnings=all -E UTF-8 -l "$page" 2>&1 >/dev/null) || fail "man -l ${page##*/}"
  [ -z "$warnings" ] || fail "${page##*/} renders with warnings: $warnings"
done

step "user units and autostart entry"
# systemd 252 verifies a root directory only for the system manager: the user
# units are checked as units of the unpacked root, so that their commands are
# looked up there. --recursive-errors=no turns their warnings into a failure.
mkdir -p "$root/etc/systemd/system" "$work/runtime"
cp "$root"/usr/lib/systemd/user/qet.* "$root/etc/systemd/system/"
if ! out=$(XDG_RUNTIME_DIR=$work/runtime systemd-analyze verify --root="$root" --man=no \
  --generators=no --recursive-errors=no qet.socket qet.service 2>&1) || [ -n "$out" ]; then
  fail "systemd-analyze verify: $out"
fi
# The journal follower is a system unit: verified the same way, from the
# place the package installs it.
cp "$root/usr/share/zorv/contrib/systemd/zorv-follow-journal.service" "$root/etc/systemd/system/"
if ! out=$(systemd-analyze verify --root="$root" --man=no --generators=no --recursive-errors=no \
  zorv-follow-journal.service 2>&1) || [ -n "$out" ]; then
  fail "systemd-analyze verify zorv-follow-journal.service: $out"
fi
out=$(desktop-file-validate "$root/etc/xdg/autostart/qet.desktop" 2>&1) && [ -z "$out" ] ||
  fail "desktop-file-validate: $out"

step "socket activation"
"$src/tests/install/socket-activation-test.sh" "$root/usr"
echo "check-packages: passed"
