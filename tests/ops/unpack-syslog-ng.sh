#!/usr/bin/env bash
# Unpacks Debian's syslog-ng and the libraries it needs beyond rsyslog's into
# DIR (apt-get download + dpkg -x: syslog-ng conflicts with the installed
# rsyslog as a package), and writes DIR/syslog-ng, which runs it from there.
# Does nothing when DIR/syslog-ng exists.
set -euo pipefail
dir=$1
mkdir -p "$(dirname "$dir")"
# Tests running at once wait for the one unpacking.
exec 9>"$dir.lock"
flock 9
[ -x "$dir/syslog-ng" ] && exit 0
packages=(syslog-ng-core libivykis0 libnet1 libwrap0)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
if ! apt-get download -q "${packages[@]}" >/dev/null 2>&1; then
  # A clean machine may not have the package lists yet.
  [ "$(id -u)" -eq 0 ] && apt-get update -q >/dev/null
  apt-get download -q "${packages[@]}" >/dev/null
fi
rm -rf "$dir.tmp"
mkdir -p "$dir.tmp"
for deb in ./*.deb; do dpkg -x "$deb" "$dir.tmp"; done
modules=$(cd "$dir.tmp" && echo usr/lib/syslog-ng/3.*)
libraries=$(cd "$dir.tmp" && echo usr/lib/*-linux-*)
cat > "$dir.tmp/syslog-ng" <<WRAPPER
#!/bin/sh
export LD_LIBRARY_PATH="$dir/$libraries:$dir/usr/lib/syslog-ng"
exec "$dir/usr/sbin/syslog-ng" --module-path="$dir/$modules" --no-caps "\$@"
WRAPPER
chmod +x "$dir.tmp/syslog-ng"
rm -rf "$dir"
mv "$dir.tmp" "$dir"
