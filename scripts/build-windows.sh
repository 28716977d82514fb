#!/usr/bin/env bash
# Builds the driver for Windows x64 kernel mode with the mingw-w64 cross
# toolchain: every .cpp under the driver folders plus platform/windows into
# build-windows/uvccam.sys (PE32+, native subsystem, entry DriverEntry,
# imports only from ntoskrnl.exe, hal.dll, ks.sys and usbd.sys), copies
# uvccam.inf beside it, and checks the image (scripts/check-windows-sys.sh).
#
# Usage: scripts/build-windows.sh [--no-deps] [--out DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-windows
deps=1
while [ $# -gt 0 ]; do
  case "$1" in
    --no-deps) deps=0 ;;
    --out) out=$2; shift ;;
    *) echo "usage: scripts/build-windows.sh [--no-deps] [--out DIR]" >&2; exit 2 ;;
  esac
  shift
done
[ "$deps" = 1 ] && scripts/install-deps.sh
# shellcheck source=scripts/windows/toolchain.sh
. scripts/windows/toolchain.sh

win_check_includes

mapfile -t driver_sources < <(win_driver_sources)
mapfile -t platform_sources < <(find "$WIN_PLATFORM_DIR" -name '*.cpp' -type f | LC_ALL=C sort)
if [ ${#driver_sources[@]} -eq 0 ]; then
  echo "build-windows: no driver sources found" >&2
  exit 1
fi

# A generated ninja file gives incremental, two-way parallel compiles with
# header dependencies; everything stays inside $out.
mkdir -p "$out"
ninja_file=$out/build.ninja
{
  echo "cxx = $WIN_CXX"
  echo "cxxflags = ${WIN_CXXFLAGS[*]}"
  echo "rule cxx"
  echo "  command = \$cxx \$cxxflags -MD -MF \$out.d -c \$in -o \$out"
  echo "  depfile = \$out.d"
  echo "  deps = gcc"
  echo "  description = CXX(win) \$in"
  for src in "${driver_sources[@]}" "${platform_sources[@]}"; do
    echo "build $out/obj/${src%.cpp}.o: cxx $src"
  done
} > "$ninja_file.tmp"
mv "$ninja_file.tmp" "$ninja_file"
ninja -f "$ninja_file" -j 2 --quiet

driver_objects=()
for src in "${driver_sources[@]}"; do driver_objects+=("$out/obj/${src%.cpp}.o"); done
platform_objects=()
for src in "${platform_sources[@]}"; do platform_objects+=("$out/obj/${src%.cpp}.o"); done
win_check_objects "${driver_objects[@]}" "${platform_objects[@]}"

# The driver's entry must be the C symbol the loader looks up.
# (nm's whole output is read first: grep -q would end the pipe early.)
defined=$("$WIN_NM" --defined-only "${driver_objects[@]}" 2>/dev/null)
if grep -qE ' T _Z[0-9]+DriverEntry' <<<"$defined"; then
  echo "build-windows: DriverEntry must be declared extern \"C\" (the loader calls it by that name)" >&2
  exit 1
fi
if ! grep -qE '^[0-9a-f]+ T DriverEntry$' <<<"$defined"; then
  echo "build-windows: no driver source defines DriverEntry" >&2
  exit 1
fi
image=$out/uvccam.sys
map=${image%.sys}.map
"$WIN_CXX" "${WIN_LDFLAGS[@]}" -Wl,-Map,"$map" -o "$image" \
  "${driver_objects[@]}" "${platform_objects[@]}" "${WIN_LIBS[@]}"
scripts/windows/pe-checksum.sh "$image"
# INF files are CRLF text on Windows.
sed 's/\r*$/\r/' uvccam.inf > "$out/uvccam.inf"

scripts/check-windows-sys.sh --map "$map" --sources "$(printf '%s\n' "${driver_sources[@]}")" "$image"
echo "build-windows: $image ($(stat -c %s "$image") bytes) and $out/uvccam.inf"
echo "build-windows: no .cat: inf2cat and signtool run only on Windows (see docs/windows.md)"
