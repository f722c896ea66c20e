#!/bin/sh
# iso-date.sh PAGE: the date in the .TH line of a page help2man made, as
# YYYY-MM-DD. help2man writes the month alone ("December 2026"), which man
# shows as it is but mandoc's lint cannot read as a date. The day is the one
# help2man took its month from: SOURCE_DATE_EPOCH when set (a package build
# sets it from the changelog), else today.
set -eu
day=$(date -u -d "@${SOURCE_DATE_EPOCH:-$(date +%s)}" +%F)
sed -i -E "s/^(\\.TH [^ ]+ \"?1\"? )\"[^\"]*\"/\\1\"$day\"/" "$1"
