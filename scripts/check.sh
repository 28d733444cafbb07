#!/bin/sh
# Build first-frame if needed and run every test:
#  - the Debian package round trip of the default and the fast build
#    (install, run from PATH, man page, licences, remove; as root only);
#  - the end-to-end tests on a build with AddressSanitizer and
#    UndefinedBehaviorSanitizer (build-sanitize/);
#  - the whole suite on the fast static build (build-static/), which must
#    also save what the default build saves, and its container image
#    (scripts/image.sh) run by podman;
#  - the whole suite on the default build (build/);
#  - the kept fuzz corpus and the test videos replayed by the fuzz target,
#    whose libraries are built with sanitizers (build-replay/; no fuzzing:
#    scripts/fuzz.sh).
# The three suites share one set of test videos (build/tests/fixtures),
# made by the first. The fuzz target's libraries take longer to build than
# the suites take to run, and the suites leave the cores idle much of the
# time (waiting for bounds and children, encoding one video at a time): so
# they are built beside the suites, at the lowest priority, and the replay
# waits for them. One line a step, with the time since the start.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
start=$(date +%s)
say() { echo "check: $* ($(($(date +%s) - start)) s)"; }

# Everything, installed first, so that nothing installs beside the builds.
./scripts/deps.sh static fuzz image
./scripts/build.sh
fixtures=$top/build/tests/fixtures
./scripts/build-static.sh -DFIRST_FRAME_COMPARE_WITH="$top/build/first-frame" \
	-DFIRST_FRAME_FIXTURES="$fixtures"

say "building the fuzz target and its libraries beside the tests (log: build/replay-build.log)"
setsid nice -n 19 ./scripts/fuzz.sh --build > build/replay-build.log 2>&1 &
fuzz_build=$!
# If a step fails, the build beside it goes too.
trap 'kill -- -$fuzz_build 2>/dev/null || true' EXIT

./scripts/package-check.sh build
./scripts/package-check.sh build-static
# The container rows of the fast build's suite run this image. Run as root
# it must be made, except where / is no mount point (a plain chroot):
# podman's storage remounts / to unpack a layer, which fails there. As a
# user podman may not be set up for rootless containers. The rows then
# skip, saying so.
say "making the container image (log: build/image.log)"
if ! ./scripts/image.sh > build/image.log 2>&1; then
	tail -n 20 build/image.log
	[ "$(id -u)" -ne 0 ] || ! mountpoint -q / || exit 1
	say "no container image here: the container rows skip"
fi

say "building with sanitizers in build-sanitize/"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFIRST_FRAME_SANITIZE=ON \
	-DFIRST_FRAME_FIXTURES="$fixtures"
cmake --build build-sanitize --parallel 2
for build in build-sanitize build-static build; do
	say "running the tests on $build/"
	ctest --test-dir "$build" --output-on-failure --parallel 2
done

say "waiting for the fuzz target (build/replay-build.log)"
if ! wait "$fuzz_build"; then
	tail -n 40 build/replay-build.log
	exit 1
fi
trap - EXIT
say "replaying the kept fuzz corpus and the test videos under the sanitizers"
./scripts/fuzz.sh --replay tests/fuzz-corpus "$fixtures"
say "done"
