#!/bin/sh
# Install, from Debian's packages, what building and testing first-frame
# needs; packages already present are left alone and apt is not touched.
set -eu

packages="build-essential cmake libopencv-dev ffmpeg python3 mandoc man-db valgrind clang-tidy cppcheck util-linux"

missing=""
for p in $packages; do
	if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
		missing="$missing $p"
	fi
done

if [ -z "$missing" ]; then
	echo "deps: all present ($packages)"
	exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "deps: installing$missing"
$sudo apt-get update
# shellcheck disable=SC2086 # the package list is meant to split
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
