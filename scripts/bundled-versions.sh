#!/bin/sh
# Say whether the fast build's bundled Debian sources are the newest the
# archive has: for each source in the package's Built-Using and
# Static-Built-Using fields, the version linked in and the newest in the
# archive that this machine's apt sources name (Debian 12 and 13, each with
# its updates and, where the sources name one, its security suite). Exits 1
# if any is behind (rebuild: scripts/static-deps.sh takes the newest), 2 if
# the archive cannot be reached.
#
#   bundled-versions.sh [PACKAGE.deb | PACKAGE]    default: the installed first-frame
#
# A source is matched with the release it came from by its version: of the
# releases whose newest version is at least the bundled one, the lowest
# (FFmpeg 5.1 would be Debian 12's, though Debian 13 has 7.1). A newer
# version that the lists name but whose source the archive does not serve
# (yet) is named, and not counted: no rebuild could take it.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
target=${1:-first-frame}

if [ -f "$target" ]; then
	fields=$(dpkg-deb -f "$target" Built-Using Static-Built-Using)
else
	fields=$(dpkg-query -W -f='${Built-Using}\n${Static-Built-Using}\n' "$target")
fi
sources=$(echo "$fields" | sed 's/^[A-Za-z-]*: //' | tr ',' '\n' |
	sed -n 's/^ *\([^ ]*\) *(= *\([^ )]*\)).*/\1 \2/p' | sort -u)
if [ -z "$sources" ]; then
	echo "bundled-versions: $target names no bundled sources" >&2
	exit 2
fi

lists=$(mktemp -d)
trap 'rm -rf "$lists"' EXIT
apt_lists() { # release, apt-get or apt-cache, arguments
	release=$1
	tool=$2
	shift 2
	"$tool" -o Dir::Etc::SourceList="$lists/$release.list" -o Dir::Etc::SourceParts=/dev/null \
		-o Dir::State::Lists="$lists/$release" -o Dir::Cache="$lists/cache-$release" "$@"
}
echo "bundled-versions: reading the archive's source lists" >&2
for release in bookworm trixie; do
	mkdir -p "$lists/$release/partial" "$lists/cache-$release/archives/partial"
	"$here/debian-mirror.sh" deb-src "$release" > "$lists/$release.list"
	# Every index or none: a missing security suite would hide a fix. One
	# retry, for a transient error.
	if ! apt_lists "$release" apt-get update --error-on=any > "$lists/update.log" 2>&1 &&
		! apt_lists "$release" apt-get update --error-on=any >> "$lists/update.log" 2>&1; then
		cat "$lists/update.log" >&2
		echo "bundled-versions: cannot read the archive's lists for $release" >&2
		exit 2
	fi
done

versions() { # source, release -> every version of it there
	apt_lists "$2" apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u
}
newest() { # source, release -> its newest version there, or nothing
	versions "$1" "$2" | "$here/newest-version.sh"
}
served() { # source, version, release: whether the archive serves that source
	get=$(mktemp -d "$lists/get.XXXXXX")
	if (cd "$get" && apt_lists "$3" apt-get source --download-only "$1=$2" > /dev/null 2>&1); then
		rm -rf "$get"
		return 0
	fi
	rm -rf "$get"
	return 1
}

behind=0
printf '%-12s %-26s %-26s %s\n' source bundled newest verdict
echo "$sources" | {
	while read -r source bundled; do
		match="" release=""
		for r in bookworm trixie; do
			v=$(newest "$source" "$r")
			if [ -z "$v" ] || dpkg --compare-versions "$v" lt "$bundled"; then
				continue
			fi
			if [ -z "$match" ] || dpkg --compare-versions "$v" lt "$match"; then
				match=$v release=$r
			fi
		done
		# An index can list a version before the archive (or the
		# mirror in front of it) serves its source, and no rebuild can
		# take that one: behind means behind a version that is served.
		unserved=""
		while [ -n "$match" ] && dpkg --compare-versions "$match" gt "$bundled" &&
			! served "$source" "$match" "$release"; do
			unserved="$unserved $match"
			match=$(versions "$source" "$release" | while read -r v; do
				if dpkg --compare-versions "$v" lt "$match"; then echo "$v"; fi
			done | "$here/newest-version.sh")
		done
		if [ -z "$match" ]; then
			verdict="not in the archive at this version or later"
		elif dpkg --compare-versions "$match" eq "$bundled"; then
			verdict="up to date ($release)"
		else
			verdict="BEHIND ($release): rebuild the fast build"
			behind=1
		fi
		[ -z "$unserved" ] || verdict="$verdict; listed but its source not served:$unserved"
		printf '%-12s %-26s %-26s %s\n' "$source" "$bundled" "${match:--}" "$verdict"
	done
	exit "$behind"
}
