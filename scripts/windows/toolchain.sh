# Sourced by scripts/build-windows.sh and the Windows build tests: the one
# place that says how driver code is compiled and linked for Windows x64
# kernel mode with the mingw-w64 cross toolchain.
# shellcheck shell=bash

WIN_CXX=x86_64-w64-mingw32-g++
WIN_OBJDUMP=x86_64-w64-mingw32-objdump
WIN_NM=x86_64-w64-mingw32-nm
WIN_DDK_INCLUDE=/usr/x86_64-w64-mingw32/include/ddk

# The folders whose every .cpp goes into the .sys.
WIN_DRIVER_DIRS=(driver usb media pipeline effects controls mjpeg)
# Kernel-only platform sources: the Windows side of platform/ headers.
WIN_PLATFORM_DIR=platform/windows

# Kernel mode: no exceptions, RTTI or guarded statics; no red zone (interrupts
# and DPCs run on the same stack); no stack protector runtime; no frame over
# 8 KB (a third of the 24 KB kernel stack). Unaligned
# vector moves: GCC cannot keep the stack 32-byte aligned on Win64 and would
# otherwise spill AVX registers with aligned moves that fault.
WIN_CXXFLAGS=(
  -std=c++17 -O2 -DNDEBUG -D_AMD64_ -DUVCCAM_WINDOWS_KERNEL=1
  -I. -isystem "$WIN_DDK_INCLUDE"
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit
  -fno-stack-protector -fno-common -mno-red-zone -fno-strict-aliasing
  -Wa,-muse-unaligned-vector-move
  -Wall -Wextra -Wno-multichar -Werror -Werror=vla -Wframe-larger-than=8192
)

# A native-subsystem PE32+ image entered at DriverEntry, relocatable, no C
# or C++ runtime; imports come only from these libraries.
WIN_LDFLAGS=(
  -nostdlib -nostartfiles
  -Wl,--subsystem,native -Wl,-e,DriverEntry
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va
  -Wl,--image-base,0x140000000
  -Wl,--major-subsystem-version,10 -Wl,--minor-subsystem-version,0
  -Wl,--major-os-version,10 -Wl,--minor-os-version,0
  -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
  -Wl,--no-insert-timestamp -Wl,--strip-all
)
# libksguid.a holds only GUID data (the kernel-streaming categories, property
# sets and formats); the other four are import libraries.
WIN_LIBS=(-lntoskrnl -lhal -lks -lusbd -lksguid)
WIN_ALLOWED_IMPORTS="ntoskrnl.exe hal.dll ks.sys usbd.sys"

# Headers driver code may include: the freestanding C++ headers, the x86
# intrinsics, and our own (quoted) headers.
WIN_ALLOWED_SYSTEM_HEADERS="cstdint cstddef cstring new type_traits limits cstdarg climits \
emmintrin.h tmmintrin.h smmintrin.h immintrin.h pmmintrin.h nmmintrin.h"

# Sources under the driver folders, sorted, one per line.
win_driver_sources() {
  local d
  for d in "${WIN_DRIVER_DIRS[@]}"; do
    [ -d "$d" ] && find "$d" -name '*.cpp' -type f
  done | LC_ALL=C sort
}

# Rejects a system header outside the allowed set in any driver-folder file
# or platform header the driver includes. Prints each offence.
win_check_includes() {
  local bad=0 file line hdr
  while IFS=: read -r file line hdr; do
    hdr=${hdr#*<}; hdr=${hdr%%>*}
    case " $WIN_ALLOWED_SYSTEM_HEADERS " in
      *" $hdr "*) ;;
      *) echo "$file:$line: <$hdr> is not available to kernel-mode driver code" >&2; bad=1 ;;
    esac
  done < <(
    for d in "${WIN_DRIVER_DIRS[@]}"; do [ -d "$d" ] && echo "$d"; done |
      xargs -r grep -rnE --include='*.cpp' --include='*.h' '^[[:space:]]*#[[:space:]]*include[[:space:]]*<'
  )
  return $bad
}

# Rejects objects that would need a C++ runtime at load time: static
# constructors or destructors, thread-local data.
win_check_objects() {
  local bad=0 o
  for o in "$@"; do
    if grep -qE '[[:space:]](\.ctors|\.dtors|\.init_array|\.fini_array|\.tls|\.CRT\$)' <<<"$("$WIN_OBJDUMP" -h "$o")"; then
      echo "$o: static constructor, destructor or thread-local data (not allowed in a driver)" >&2
      bad=1
    fi
  done
  return $bad
}
