#!/usr/bin/env bash
# Main job: builds the driver and the uvccam program, then captures from the
# built-in simulated camera through the driver into capture.y4m (arguments
# replace the defaults and go to `uvccam capture`).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DUVCCAM_TESTS=OFF -DUVCCAM_BENCH=OFF >/dev/null
cmake --build build-release --target uvccam
if [ $# -eq 0 ]; then
  set -- --size 1280x720 --frames 60 --output capture.y4m
fi
build-release/uvccam capture "$@"
