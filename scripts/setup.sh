#!/bin/sh
# From a fresh Debian 12 or 13 machine to a built first-frame, shown
# working on the bundled sample video in a scratch directory.
#
# The default build uses the system's OpenCV and FFmpeg. It is checked
# first against ffmpeg's own decode of every video of the test matrix;
# where the system's libraries get some of them wrong (both releases' do,
# see docs/fidelity.md), the fast build, which brings its own, is built and
# offered instead. Its libraries (FFmpeg and OpenCV from Debian's sources,
# most of the time setup takes) need only the compiler and a few tools: they
# are built beside the rest of the install, at the lowest priority, and
# dropped if the default build turns out right.
#
# It prints one line a step, with the time since it started; what apt and
# the builds print goes to build/setup.log (the fast build's libraries to
# build/fast-libraries.log), whose end is shown if a step fails.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
mkdir -p build
log=$top/build/setup.log
: > "$log"
start=$(date +%s)
say() { echo "setup: $* ($(($(date +%s) - start)) s)"; }
fail() { # log: its end, and the step failed
	tail -n 40 "$1" | sed 's/^/setup: | /'
	echo "setup: that step failed; the whole log is $1"
	exit 1
}
step() { # what, command...: the command's output into the log
	say "$1"
	shift
	"$@" >> "$log" 2>&1 || fail "$log"
}
packages() { ./scripts/deps.sh --missing "$@" | paste -sd ' ' -; }

tools=$(packages libraries)
step "${tools:+installing what the fast build's libraries are built with: $tools; }bringing the system libraries it bundles up to date" \
	./scripts/deps.sh libraries
say "building the fast build's libraries beside the rest (build/fast-libraries.log)"
libraries=$top/build/fast-libraries
setsid nice -n 19 cmake -S . -B "$libraries" -DCMAKE_BUILD_TYPE=Release -DFIRST_FRAME_STATIC=ON \
	-DFIRST_FRAME_BUILD_TESTS=OFF > "$libraries.log" 2>&1 &
beside=$!
trap 'kill -- -$beside 2>/dev/null || true' EXIT
missing=$(packages)
[ -z "$missing" ] || step "installing from Debian's packages: $missing" ./scripts/deps.sh
step "building build/first-frame against the system's OpenCV" ./scripts/build.sh
export FIRST_FRAME_FIXTURES="$top/build/tests/fixtures"
fidelity() { # program: check it on every format; the verdict, and the status
	say "checking $1 against ffmpeg's own decode of $(python3 tests/e2e.py --list | grep -c '^frame\.') test videos (details: build/fidelity.txt)"
	python3 tests/e2e.py "$1" --measure > "$top/build/fidelity.txt" 2>&1 && status=0 || status=$?
	echo "setup: $(tail -n 1 "$top/build/fidelity.txt")"
	return "$status"
}
program=build/first-frame
if fidelity "$program"; then
	kill -- -$beside 2>/dev/null || true
else
	say "this system's OpenCV or FFmpeg gets these wrong: the fast build brings its own"
	say "waiting for the fast build's libraries (about 10 minutes the first time)"
	wait "$beside" || fail "$libraries.log"
	rm -rf "$libraries"
	step "building the fast build, build-static/first-frame" ./scripts/build-static.sh
	program=build-static/first-frame
	fidelity "$program"
fi
trap - EXIT

scratch=$(mktemp -d "${TMPDIR:-/tmp}/first-frame-demo.XXXXXX")
cp sample/sample.mp4 "$scratch/input_video"
say "running $program in $scratch"
(cd "$scratch" && "$top/$program")
say "the first frame is $scratch/first_frame.bmp"
