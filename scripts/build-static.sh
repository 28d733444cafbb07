#!/bin/sh
# Configure and build the fast first-frame in ./build-static: linked
# statically against a trimmed FFmpeg and OpenCV that are built first from
# Debian's source packages (about 10 minutes the first time; kept in
# ~/.cache/first-frame and reused after, by any clone).
# Extra arguments go to CMake, e.g. -DFIRST_FRAME_FFMPEG_SOURCE=DIR.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh static
echo "build-static: configuring in build-static/ (builds FFmpeg and OpenCV if needed)"
cmake -S . -B build-static -DCMAKE_BUILD_TYPE=Release -DFIRST_FRAME_STATIC=ON "$@"
echo "build-static: compiling"
cmake --build build-static --parallel 2
