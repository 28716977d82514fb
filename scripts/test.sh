#!/usr/bin/env bash
# Builds and runs every test under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded tests under ThreadSanitizer,
# and builds and checks the Windows kernel-mode image of the driver.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

# The driver folders as a Windows kernel-mode image, checked; then the tests
# of the image checks themselves.
start=$SECONDS
scripts/build-windows.sh --no-deps
tests/platform/windows/image_checks.sh
echo "windows build and checks: $((SECONDS - start)) s"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUVCCAM_SANITIZE=address,undefined -DUVCCAM_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure

# Threaded tests (frame ring, stream engine) again under ThreadSanitizer.
tsan_targets=""
for f in tests/*/.tsan; do
  d=${f#tests/}
  tsan_targets="$tsan_targets test_${d%/.tsan}"
done
if [ -n "$tsan_targets" ]; then
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DUVCCAM_SANITIZE=thread -DUVCCAM_BENCH=OFF >/dev/null
  # shellcheck disable=SC2086
  cmake --build build-tsan -j "$jobs" --target $tsan_targets
  for t in $tsan_targets; do
    TSAN_OPTIONS=halt_on_error=1 build-tsan/$t --gtest_filter="$(cat "tests/${t#test_}/.tsan")"
  done
fi
echo "all tests passed"
