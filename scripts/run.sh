#!/usr/bin/env bash
# Main job: builds the driver and the uvccam program, then captures from the
# built-in simulated camera through the driver into capture.y4m. Arguments
# go to `uvccam capture` after the defaults, so each one given overrides its
# default (--seconds also replaces the default frame count).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DUVCCAM_TESTS=OFF -DUVCCAM_BENCH=OFF >/dev/null
cmake --build build-release --target uvccam
defaults=(--size 1280x720 --frames 60 --output capture.y4m)
for arg in "$@"; do
  case "$arg" in
    --frames|--frames=*|--seconds|--seconds=*) defaults=(--size 1280x720 --output capture.y4m) ;;
  esac
done
build-release/uvccam capture "${defaults[@]}" "$@"
