#!/bin/sh
# Build the Debian package of a build (build/ unless named), check it with
# lintian (no error or warning may remain), install it with dpkg, run the
# installed first-frame from PATH on the sample in a scratch directory,
# find its man page with man -w, and remove the package again. The fast
# build's package must depend on the C library alone, name the Debian
# sources linked in (Built-Using, Static-Built-Using) and carry the
# licences of what it links in, and bundle the newest source versions the
# archive has (scripts/bundled-versions.sh); its tarball is made too.
#
#   package-check.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}

if [ "$(id -u)" -ne 0 ]; then
	echo "package: skipped: installing a package needs root"
	exit 0
fi
if dpkg-query -W -f='${Status}\n' first-frame 2>/dev/null | grep -q '^install ok installed$'; then
	echo "package: skipped: a first-frame package is installed here already; left alone"
	exit 0
fi
static=$(sed -n 's/^FIRST_FRAME_STATIC:BOOL=//p' "$build/CMakeCache.txt")

echo "package: building $build's package with cpack -G DEB"
rm -f "$build"/first-frame_*.deb "$build"/first-frame-*.tar.gz
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/first-frame_*.deb)
dpkg-deb -f "$deb" Package Version Depends
echo "package: $(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"
echo "package: lintian $(lintian --version | sed 's/^Lintian v//')"
status=0
findings=$(lintian --allow-root --fail-on error,warning --display-info "$deb") || status=$?
[ -z "$findings" ] || echo "$findings" | sed 's/^/package: lintian: /'
if [ "$status" -ne 0 ]; then
	echo "package: lintian finds errors or warnings in $deb"
	exit 1
fi
if [ "$static" = ON ]; then
	depends=$(dpkg-deb -f "$deb" Depends)
	case $depends in
	"libc6 "*[!,]) ;;
	*) echo "package: the fast build's package depends on more than libc6: $depends"; exit 1 ;;
	esac
	for field in Built-Using Static-Built-Using; do
		sources=$(dpkg-deb -f "$deb" "$field")
		echo "package: $field: $sources"
		for source in ffmpeg opencv dav1d zlib; do
			echo "$sources" | grep -q "\(^\|, \)$source (= " ||
				{ echo "package: $field does not name $source"; exit 1; }
		done
	done
	# A release is never cut from a stale bundle: every source linked in
	# must be the newest the archive has.
	echo "package: the bundled sources against the archive's newest"
	current=true
	report=$(./scripts/bundled-versions.sh "$deb" 2>&1) || current=false
	echo "$report" | sed 's/^/package:   /'
	if ! $current; then
		echo "package: a bundled source is behind the archive (or the archive is out of reach): rebuild"
		exit 1
	fi
	echo "package: building the tarball with cpack -G TGZ"
	(cd "$build" && cpack -G TGZ)
	contents=$(tar -tzf "$build"/first-frame-*.tar.gz)
	echo "$contents" | sed 's/^/package: tarball: /'
	echo "$contents" | grep -q '/bin/first-frame$'
	echo "$contents" | grep -q '/share/doc/first-frame/copyright$'
fi

echo "package: installing $deb"
dpkg -i "$deb"
trap 'echo "package: removing"; dpkg -r first-frame' EXIT

scratch=$(mktemp -d "${TMPDIR:-/tmp}/first-frame-package.XXXXXX")
cp sample/sample.mp4 "$scratch/input_video"
echo "package: running $(command -v first-frame) in $scratch"
[ "$(command -v first-frame)" = /usr/bin/first-frame ]
(cd "$scratch" && first-frame) > "$scratch/output"
cat "$scratch/output"
printf 'Frame per seconds: 25.000000\nFirst frame saved.\n' | cmp - "$scratch/output"
[ -s "$scratch/first_frame.bmp" ]
echo "package: man page at $(man -w first-frame)"
echo "package: licences at /usr/share/doc/first-frame/copyright, changelog beside it"
grep -q '^License: ISC' /usr/share/doc/first-frame/copyright
zcat /usr/share/doc/first-frame/changelog.gz | head -n 1 | grep -q "^first-frame ($(dpkg-deb -f "$deb" Version))"
echo "package: the security notes the man page points to at /usr/share/doc/first-frame/SECURITY.md"
grep -q '^# Security' /usr/share/doc/first-frame/SECURITY.md
man first-frame 2>/dev/null | grep -q 'first-frame/SECURITY.md'
if [ "$static" = ON ]; then
	grep -q '^License: LGPL-2.1+' /usr/share/doc/first-frame/copyright
	grep -q '^License: Apache-2.0' /usr/share/doc/first-frame/copyright
fi
rm -rf "$scratch"
echo "package: ok"
