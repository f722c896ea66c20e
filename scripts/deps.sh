#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the tour need, and
# only those that are missing: with everything in place it only looks, so
# ./run, ./run-tests and CI call it every time. Works as root and, for anyone
# else, through sudo; never asks a question.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config             # the build
  qtbase5-dev qtscript5-dev                    # QET and its libraries
  libtinyxml-dev                               # the error-code table
  libgtest-dev libbenchmark-dev                # tests and benchmarks
  xvfb xauth                                   # QET under a virtual display
  clang libclang-rt-14-dev                     # sanitizer and fuzz builds
  python3                                      # the fuzz runner makes its large inputs
  zlib1g-dev                                   # zorvlog reads gzip-compressed logs
  liblzma-dev libzstd-dev libbz2-dev           # ... and xz-, zstd- and bzip2-compressed ones
  xz-utils zstd bzip2                          # the tests compress generations with the real tools
  libre2-dev                                   # zorvlog's --grep: linear time, bounded memory
  libsystemd-dev                               # zorvlog follow --journal sends with sd_journal_sendv
  libgnutls28-dev                              # zorvlog follow --relp-tls
  logrotate rsyslog jq lnav                    # rotation, shipping and reading with the real tools
  stress-ng                                    # the suites again on a busy machine
  mawk time                                    # the reader's benchmark: the floor, CPU and memory
  nlohmann-json3-dev                           # reading zorvlog's JSON in the tests and its benchmark
  debhelper devscripts dpkg-dev fakeroot lintian # the Debian packages
  help2man man-db bash-completion              # manual pages and completion
  mandoc                                       # the manual pages' lint
  abigail-tools                                # the binary-interface check
  systemd desktop-file-utils                   # the user units and the autostart entry
  systemd-journal-remote rsyslog-relp          # journal entries to a central machine, in the tests
  rsyslog-gnutls rsyslog-openssl openssl       # RELP over TLS to the central rsyslog, in the tests
)

installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "deps.sh: not a Debian system; install the equivalents of: ${packages[*]}" >&2
  exit 1
fi

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=(env)
elif command -v sudo >/dev/null 2>&1; then
  # env under sudo, since sudo may refuse to pass variables on by itself.
  as_root=(sudo env)
else
  echo "deps.sh: missing ${missing[*]}; run as root or install sudo" >&2
  exit 1
fi

echo "deps.sh: installing ${missing[*]}"
"${as_root[@]}" DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  "${missing[@]}"
