#!/bin/sh
# Build first-frame if needed, try its Debian package (install, run from
# PATH, man page, remove; as root only) and run every test.
set -eu
cd "$(dirname "$0")/.."

./scripts/build.sh
./scripts/package-check.sh
echo "check: running the tests"
ctest --test-dir build --output-on-failure --parallel 2
