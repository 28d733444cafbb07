#!/bin/sh
# Print the newest of the Debian versions on standard input, one a line, by
# Debian's ordering (epochs, "~"), which sort -V does not follow; nothing
# for no input. Used by static-deps.sh and bundled-versions.sh.
set -eu
best=""
while read -r v; do
	if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
done
echo "$best"
