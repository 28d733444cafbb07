#!/bin/sh
# Print the Built-Using value of the fast build's package: the exact
# Debian source package of everything linked into the binary, as
# "NAME (= VERSION), ...". Debian records statically linked sources there
# (and in Static-Built-Using) so that a user can tell which sources a
# binary carries when one of them gets a security fix.
#
#   built-using.sh PREFIX ARCHIVE...
#
# PREFIX/debian-sources lists what scripts/static-deps.sh built or copied
# in ("NAME VERSION" a line); each ARCHIVE (a static library the program
# links from the system, such as the C++ runtime's) is
# traced to its source package through dpkg.
set -eu

prefix=$1
shift
{
	cat "$prefix/debian-sources"
	for archive in "$@"; do
		path=$(realpath "$archive")
		package=$(dpkg-query -S "$path" 2>/dev/null || dpkg-query -S "$archive" 2>/dev/null) || {
			echo "built-using: no Debian package owns $archive" >&2
			exit 1
		}
		dpkg-query -W -f='${source:Package} ${source:Version}\n' "${package%%:*}"
	done
} | sort -u | awk '{ printf "%s%s (= %s)", (NR > 1 ? ", " : ""), $1, $2 } END { print "" }'
