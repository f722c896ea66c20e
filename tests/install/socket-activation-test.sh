#!/usr/bin/env bash
# The socket-activation check (socket-activation.sh) on an installed tree,
# e.g. the unpacked packages' usr.
#
#   socket-activation-test.sh PREFIX
set -euo pipefail
prefix=$(realpath "$1")
exec "$(dirname "$0")/socket-activation.sh" "$prefix/bin/QET" "$prefix/bin/qet-send"
