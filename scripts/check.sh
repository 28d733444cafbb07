#!/bin/sh
# Build first-frame if needed and run every test:
#  - the Debian package round trip of the default and the fast build
#    (install, run from PATH, man page, licences, remove; as root only);
#  - the end-to-end tests on a build with AddressSanitizer and
#    UndefinedBehaviorSanitizer (build-sanitize/);
#  - the whole suite on the fast static build (build-static/), which must
#    also save what the default build saves;
#  - the whole suite on the default build (build/);
#  - the kept fuzz corpus and the test videos replayed by the fuzz target,
#    whose libraries are built with sanitizers (build-fuzz/; no fuzzing:
#    scripts/fuzz.sh).
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

./scripts/build.sh
./scripts/build-static.sh -DFIRST_FRAME_COMPARE_WITH="$top/build/first-frame"
./scripts/package-check.sh build
./scripts/package-check.sh build-static

echo "check: building with sanitizers in build-sanitize/"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFIRST_FRAME_SANITIZE=ON
cmake --build build-sanitize --parallel 2
echo "check: running the tests on the sanitizer build"
ctest --test-dir build-sanitize --output-on-failure --parallel 2

echo "check: running the tests on the static build"
ctest --test-dir build-static --output-on-failure --parallel 2

echo "check: running the tests on the default build"
ctest --test-dir build --output-on-failure --parallel 2

echo "check: replaying the kept fuzz corpus and the test videos under the sanitizers"
./scripts/fuzz.sh --replay tests/fuzz-corpus build-static/tests/fixtures
