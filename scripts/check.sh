#!/bin/sh
# Build first-frame if needed, try its Debian package (install, run from
# PATH, man page, remove; as root only), run the end-to-end tests on a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, then run
# every test on the normal build.
set -eu
cd "$(dirname "$0")/.."

./scripts/build.sh
./scripts/package-check.sh

echo "check: building with sanitizers in build-sanitize/"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFIRST_FRAME_SANITIZE=ON
cmake --build build-sanitize --parallel 2
echo "check: running the tests on the sanitizer build"
ctest --test-dir build-sanitize --output-on-failure --parallel 2

echo "check: running the tests"
ctest --test-dir build --output-on-failure --parallel 2
