#!/bin/sh
# Configure and build first-frame in ./build (Release), after making sure
# its dependencies are installed.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh
echo "build: configuring in build/"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
echo "build: compiling"
cmake --build build --parallel 2
