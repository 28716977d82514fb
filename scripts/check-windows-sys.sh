#!/usr/bin/env bash
# Checks a Windows kernel-mode image with the cross toolchain's objdump:
# x86-64 PE32+, native subsystem, entry point at DriverEntry, base
# relocations, imports only from the allowed kernel modules, no section both
# writable and executable; with --map and --sources, that every listed driver
# source was compiled and linked into it. Prints what it found; exits 1 with
# one line per failed check.
#
# Usage: scripts/check-windows-sys.sh [--map LINK.map [--sources "SRC..."]] IMAGE.sys
set -euo pipefail
here=$(dirname "$0")
# shellcheck source=scripts/windows/toolchain.sh
. "$here/windows/toolchain.sh"

map="" sources=""
while [ $# -gt 1 ]; do
  case "$1" in
    --map) map=$2; shift 2 ;;
    --sources) sources=$2; shift 2 ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] || { echo "usage: $0 [--map LINK.map --sources \"SRC...\"] IMAGE.sys" >&2; exit 2; }
image=$1
failed=0
fail() { echo "check-windows-sys: $image: $*" >&2; failed=1; }

headers=$("$WIN_OBJDUMP" -p "$image" 2>/dev/null) || { fail "not a PE image"; exit 1; }
field() { awk -v k="$1" '$1 == k && !v { v = $2 } END { print v }' <<<"$headers"; }

grep -q 'file format pei-x86-64' <<<"$headers" || fail "not an x86-64 PE image"
[ "$(field Magic)" = 020b ] || fail "not PE32+ (optional header magic $(field Magic))"
[ "$(field Subsystem)" = 00000001 ] || fail "subsystem $(field Subsystem), expected 1 (native)"
characteristics=$(sed -n '/^Characteristics/,/^$/p' <<<"$headers")
grep -qx $'\tDLL' <<<"$characteristics" && fail "marked as a DLL"
# The kernel loads drivers at an address of its choosing: the image must keep
# its base relocations (an image without absolute addresses has none to keep).
grep -q 'relocations stripped' <<<"$characteristics" && fail "base relocations stripped"

entry=$((16#$(field AddressOfEntryPoint)))
base=$((16#$(field ImageBase)))
[ "$entry" -ne 0 ] || fail "no entry point"
# DriverEntry's address: from the link map (the shipped image has no symbol
# table), else from the image's symbols.
if [ -n "$map" ]; then
  driver_entry=$(awk '$2 == "DriverEntry" && $1 ~ /^0x/ && !e { e = substr($1, 3) } END { print e }' "$map")
else
  driver_entry=$("$WIN_NM" "$image" 2>/dev/null | awk '$2 == "T" && $3 == "DriverEntry" && !e { e = $1 } END { print e }')
fi
if [ -n "$driver_entry" ]; then
  [ $((base + entry)) -eq $((16#$driver_entry)) ] ||
    fail "entry point 0x$(printf %x $((base + entry))) is not DriverEntry (0x$driver_entry)"
else
  fail "no DriverEntry symbol to match the entry point against"
fi

# Imports: every module must be allowed.
mapfile -t modules < <(awk '/DLL Name:/ { print tolower($3) }' <<<"$headers")
[ ${#modules[@]} -gt 0 ] || fail "imports nothing (not linked against the kernel?)"
for m in "${modules[@]}"; do
  case " $WIN_ALLOWED_IMPORTS " in
    *" $m "*) ;;
    *) fail "imports from $m (allowed: $WIN_ALLOWED_IMPORTS)" ;;
  esac
done

# Sections: none both writable and executable.
sections=$("$WIN_OBJDUMP" -h -w "$image")
while read -r name flags; do
  if [[ $flags == *CODE* && $flags != *READONLY* ]]; then fail "section $name is writable and executable"; fi
done < <(awk '$1 ~ /^[0-9]+$/ { f = ""; for (i = 8; i <= NF; i++) f = f $i; print $2, f }' <<<"$sections")

# Every driver source compiled and linked.
if [ -n "$sources" ]; then
  count=0 missing=0
  while read -r src; do
    [ -n "$src" ] || continue
    count=$((count + 1))
    grep -qF "/obj/${src%.cpp}.o" "$map" || { fail "$src was not linked into the image"; missing=$((missing + 1)); }
  done <<<"$sources"
  echo "check-windows-sys: $((count - missing)) of $count driver sources linked"
fi

if [ "$failed" -ne 0 ]; then exit 1; fi
echo "check-windows-sys: $image: x86-64 PE32+, native, entry DriverEntry, imports from ${modules[*]}"
