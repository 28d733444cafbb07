#!/bin/sh
# Build first-frame if needed and run every test.
set -eu
cd "$(dirname "$0")/.."

./scripts/build.sh
echo "check: running the tests"
ctest --test-dir build --output-on-failure --parallel 2
