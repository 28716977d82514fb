#!/usr/bin/env bash
# Soak: one long capture from the built-in camera with effects and an
# overlay on, watched from outside. Reports the frames delivered and
# dropped, and the capture's resident set size, open files and threads a
# little after the start and shortly before the end; fails when the
# resident set grew by more than a tenth (at least 8 MiB).
#   scripts/soak.sh [MINUTES] [more uvccam capture options]
# MINUTES defaults to 5 (fractions allowed). UVCCAM selects the program
# (default build/uvccam).
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-5}
shift || true
uvccam=${UVCCAM:-build/uvccam}
[ -x "$uvccam" ] || { echo "soak: $uvccam not built (ninja -C build uvccam)" >&2; exit 2; }
seconds=$(awk -v m="$minutes" 'BEGIN { s = int(m * 60); print s < 10 ? 10 : s }')
state=$(mktemp -d)
summary=$(mktemp)
trap 'rm -rf "$state" "$summary"' EXIT
"$uvccam" overlays --state "$state" >/dev/null

"$uvccam" capture --state "$state" --seconds "$seconds" --json \
  --set mirror=1 --set auto_contrast=1 --set bad_pixel_correction=1 --set chroma_smoothing=1 \
  --set special_effect=4 --set overlay=3 --set auto_framing=1 "$@" >"$summary" &
pid=$!

sample() {  # rss_kb fds threads of the capture, or nothing once it is gone
  local rss threads fds
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null) || return 1
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status" 2>/dev/null) || return 1
  fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
  [ -n "$rss" ] && echo "$rss $fds $threads"
}

# Start: once the stream has settled (a tenth of the run, at least 5 s).
# End: the last sample taken while the capture still runs (every second).
settle=$(( seconds / 10 > 5 ? seconds / 10 : 5 ))
sleep "$settle"
start=$(sample) || { wait $pid || true; echo "soak: the capture ended early" >&2; exit 1; }
end=$start
while next=$(sample); do
  end=$next
  sleep 1
done
rc=0
wait $pid || rc=$?
read -r rss0 fd0 th0 <<<"$start"
read -r rss1 fd1 th1 <<<"$end"
frames=$(grep -o '"frames":[0-9]*' "$summary" | head -1 | cut -d: -f2)
drops=$(grep -o '"dropped":[0-9]*' "$summary" | head -1 | cut -d: -f2)
echo "soak: ${seconds} s, frames ${frames:-?}, dropped ${drops:-?}, capture status $rc"
echo "soak: rss ${rss0} KiB -> ${rss1} KiB, open files ${fd0} -> ${fd1}, threads ${th0} -> ${th1}"
allowed=$(( rss0 / 10 > 8192 ? rss0 / 10 : 8192 ))
if [ "$rc" -ne 0 ] || [ $(( rss1 - rss0 )) -gt "$allowed" ] || [ "$fd1" -gt "$fd0" ] || [ "$th1" -gt "$th0" ]; then
  echo "soak: FAILED (capture status, memory, file or thread growth)" >&2
  exit 1
fi
echo "soak: flat"
