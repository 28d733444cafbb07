#!/bin/sh
# From a fresh Debian 12 or 13 machine to a built first-frame, shown
# working on the bundled sample video in a scratch directory.
#
# The default build uses the system's OpenCV and FFmpeg. It is checked
# first against ffmpeg's own decode of every video of the test matrix;
# where the system's libraries get some of them wrong (Debian 13's do, see
# the README), the fast build, which brings its own, is built and offered
# instead.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

./scripts/build.sh
export FIRST_FRAME_FIXTURES="$top/build/tests/fixtures"
fidelity() { # program: check it on every format, print the verdict
	echo "setup: checking $1 against ffmpeg's own decode of $(python3 tests/e2e.py --list | grep -c '^frame\.') test videos"
	python3 tests/e2e.py "$1" --measure > "$top/build/fidelity.txt" 2>&1 && status=0 || status=$?
	grep WRONG "$top/build/fidelity.txt" | sed 's/^/setup:   /' || true
	echo "setup: $(tail -n 1 "$top/build/fidelity.txt")"
	return "$status"
}
program=build/first-frame
if ! fidelity "$program"; then
	echo "setup: this system's OpenCV or FFmpeg gets these wrong; building the fast build, which brings its own"
	./scripts/build-static.sh
	program=build-static/first-frame
	fidelity "$program"
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/first-frame-demo.XXXXXX")
cp sample/sample.mp4 "$scratch/input_video"
echo "setup: running $program in $scratch"
(cd "$scratch" && "$top/$program")
echo "setup: the first frame is $scratch/first_frame.bmp"
