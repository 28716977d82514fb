#!/usr/bin/env bash
# Main job: builds the driver and the uvccam program, then brings up the
# built-in simulated camera and prints its formats.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DUVCCAM_TESTS=OFF -DUVCCAM_BENCH=OFF >/dev/null
cmake --build build-release --target uvccam
build-release/uvccam formats "$@"
