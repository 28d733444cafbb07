#!/bin/sh
# Build first-frame if needed and run every test:
#  - the Debian package round trip (install, run from PATH, man page,
#    remove; as root only);
#  - the end-to-end tests on a build with AddressSanitizer and
#    UndefinedBehaviorSanitizer (build-sanitize/);
#  - the whole suite on the fast static build (build-static/), which must
#    also save the same bytes as the default build;
#  - the whole suite on the default build (build/).
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

./scripts/build.sh
./scripts/package-check.sh

echo "check: building with sanitizers in build-sanitize/"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFIRST_FRAME_SANITIZE=ON
cmake --build build-sanitize --parallel 2
echo "check: running the tests on the sanitizer build"
ctest --test-dir build-sanitize --output-on-failure --parallel 2

./scripts/build-static.sh -DFIRST_FRAME_COMPARE_WITH="$top/build/first-frame"
echo "check: running the tests on the static build"
ctest --test-dir build-static --output-on-failure --parallel 2

echo "check: running the tests on the default build"
ctest --test-dir build --output-on-failure --parallel 2
