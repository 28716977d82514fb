#!/usr/bin/env bash
# Writes the PE image checksum into the optional header of the image given,
# as the Windows linker does with /RELEASE: the 16-bit one's-complement-style
# sum of the file (checksum field taken as zero) plus the file length. The
# kernel checks it for boot-start drivers and crash tools read it.
set -euo pipefail
image=$1
pe=$(od -An -v -tu4 -j 60 -N 4 "$image" | tr -d ' ')
field=$((pe + 24 + 64))
printf '\0\0\0\0' | dd of="$image" bs=1 seek="$field" conv=notrunc status=none
size=$(stat -c %s "$image")
sum=$( { cat "$image"; [ $((size % 2)) -eq 1 ] && printf '\0'; true; } | od -An -v -tu2 |
  awk '{ for (i = 1; i <= NF; i++) { s += $i; if (s > 65535) s = (s % 65536) + int(s / 65536) } }
       END { s = (s % 65536) + int(s / 65536); printf "%d", s % 65536 }')
sum=$((sum + size))
printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((sum & 255)) $(((sum >> 8) & 255)) \
  $(((sum >> 16) & 255)) $(((sum >> 24) & 255)))" | dd of="$image" bs=1 seek="$field" conv=notrunc status=none
