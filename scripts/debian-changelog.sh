#!/bin/sh
# Write the Debian changelog of first-frame, made from NEWS.md: one entry a
# release section ("## VERSION (YYYY-MM-DD)", or "(YYYY-MM-DD HH:MM)" in
# UTC for a second release on the same day: Debian wants each entry's date
# later than the one before), each "- " item a "* " item.
# Fails if the newest section is not VERSION, so that a release cannot
# ship with notes that stop at the one before.
#
#   debian-changelog.sh NEWS.md VERSION "NAME <ADDRESS>" > changelog
set -eu

news=$1
version=$2
maintainer=$3

newest=$(sed -n 's/^## \([^ ]*\) .*/\1/p' "$news" | head -n 1)
if [ "$newest" != "$version" ]; then
	echo "debian-changelog: the newest section of $news is ${newest:-missing}, not $version" >&2
	exit 1
fi

# Release dates become the trailer's RFC 2822 date, at midnight UTC unless
# the section gives a time.
awk -v maintainer="$maintainer" '
function trailer() {
	if (release == "")
		return
	cmd = "TZ=UTC date -R -d \"" date "\""
	cmd | getline stamp
	close(cmd)
	printf "\n -- %s  %s\n", maintainer, stamp
}
/^## / {
	trailer()
	if (release != "")
		print ""
	release = $2
	date = $3 ($4 == "" ? "" : " " $4)
	gsub(/[()]/, "", date)
	printf "first-frame (%s) unstable; urgency=medium\n\n", release
	next
}
release == "" { next }
/^- / { sub(/^- /, "  * "); print; next }
/^  / { print "  " $0; next }
END { trailer() }
' "$news"
