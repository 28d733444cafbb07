#!/bin/sh
# Build the Debian package, install it with dpkg, run the installed
# first-frame from PATH on the sample in a scratch directory, find its man
# page with man -w, and remove the package again.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
	echo "package: skipped: installing a package needs root"
	exit 0
fi
if dpkg-query -W -f='${Status}\n' first-frame 2>/dev/null | grep -q '^install ok installed$'; then
	echo "package: skipped: a first-frame package is installed here already; left alone"
	exit 0
fi

echo "package: building with cpack -G DEB"
rm -f build/first-frame_*.deb
(cd build && cpack -G DEB)
deb=$(ls build/first-frame_*.deb)
dpkg-deb -f "$deb" Package Version Depends
echo "package: $(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"

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
rm -rf "$scratch"
echo "package: ok"
