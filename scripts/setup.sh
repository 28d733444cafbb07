#!/bin/sh
# From a fresh Debian 12 machine to a built first-frame, shown working on
# the bundled sample video in a scratch directory.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

./scripts/build.sh
scratch=$(mktemp -d "${TMPDIR:-/tmp}/first-frame-demo.XXXXXX")
cp sample/sample.mp4 "$scratch/input_video"
echo "setup: running build/first-frame in $scratch"
(cd "$scratch" && "$top/build/first-frame")
echo "setup: the first frame is $scratch/first_frame.bmp"
