#!/usr/bin/env bash
# Runs a libFuzzer campaign on one fuzz target for a number of seconds:
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
# or keeps only the checked-in seeds of distinct coverage:
#   scripts/fuzz.sh --minimize TARGET
# TARGET is a file name under fuzz/ without .cpp (mjpeg, properties, ...).
# Builds the target with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer (the flags CI replays the corpus with) in
# build-fuzz/, starts from the checked-in seeds in fuzz/corpus/TARGET and
# keeps what it finds in build-fuzz/corpus/TARGET (new faults are written as
# crash-* files in build-fuzz/; add each one to fuzz/corpus/TARGET once it
# is fixed). Prints the executions at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
minimize=0
if [ "${1:-}" = --minimize ]; then
  minimize=1
  shift
  set -- "${1:-}" 0
fi
if [ $# -lt 2 ] || [ ! -f "fuzz/$1.cpp" ]; then
  echo "usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options] | --minimize TARGET; targets: $(cd fuzz && ls ./*.cpp | sed 's|./||; s|\.cpp||' | tr '\n' ' ')" >&2
  exit 2
fi
target=$1 seconds=$2
shift 2
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUVCCAM_FUZZ=ON -DUVCCAM_TESTS=OFF -DUVCCAM_BENCH=OFF >/dev/null
ninja -C build-fuzz "fuzz_$target" >/dev/null
mkdir -p "build-fuzz/corpus/$target"
cd build-fuzz
if [ $minimize = 1 ]; then
  rm -rf "minimized-$target" && mkdir "minimized-$target"
  "./fuzz_$target" -merge=1 "minimized-$target" "../fuzz/corpus/$target" >"fuzz-$target.log" 2>&1
  rm -rf "../fuzz/corpus/$target" && mv "minimized-$target" "../fuzz/corpus/$target"
  echo "fuzz/corpus/$target: $(ls "../fuzz/corpus/$target" | wc -l) inputs"
  exit 0
fi
rc=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "./fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 "$@" \
  "corpus/$target" "../fuzz/corpus/$target" >"fuzz-$target.log" 2>&1 || rc=$?
grep -E 'INITED|DONE|^Done|stat::(number_of_executed_units|peak_rss_mb)|ERROR|SUMMARY|crash-' "fuzz-$target.log" || true
[ $rc -eq 0 ] || echo "fuzz $target: failed (status $rc); build-fuzz/fuzz-$target.log has the report" >&2
exit $rc
