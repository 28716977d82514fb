#!/usr/bin/env bash
# Tests of the Windows build's guards: tiny images and sources that break one
# rule each must be rejected by scripts/check-windows-sys.sh or by the build's
# own checks, and a clean one must pass. Needs the mingw-w64 toolchain.
set -euo pipefail
cd "$(dirname "$0")/../../.."
# shellcheck source=scripts/windows/toolchain.sh
. scripts/windows/toolchain.sh
work=build-windows/image-checks
rm -rf "$work" && mkdir -p "$work"
failures=0 cases=0

ok() { cases=$((cases + 1)); echo "  ok: $1"; }
bad() { cases=$((cases + 1)); failures=$((failures + 1)); echo "  FAILED: $1" >&2; }

# link NAME SNIPPET [extra link args...]: compiles SNIPPET with the driver
# flags (warnings allowed: the snippets are deliberately wrong) and links it
# with a clean DriverEntry into an image.
link() {
  local name=$1 src=$2; shift 2
  printf '%s\n' "typedef unsigned long long SIZE_T;" "$src" > "$work/$name.cpp"
  "$WIN_CXX" "${WIN_CXXFLAGS[@]}" -Wno-error -c "$work/$name.cpp" -o "$work/$name.o" &&
    "$WIN_CXX" "${WIN_LDFLAGS[@]}" -Wl,-Map,"$work/$name.map" -o "$work/$name.sys" \
      "$work/entry.o" "$work/$name.o" "$@" "${WIN_LIBS[@]}"
}

# expect_check NAME WANT(pass|fail) PATTERN [checker args...]
expect_check() {
  local name=$1 want=$2 pattern=$3; shift 3
  local out rc=0
  out=$(scripts/check-windows-sys.sh --map "$work/$name.map" "$@" "$work/$name.sys" 2>&1) || rc=$?
  if [ "$want" = pass ] && [ $rc -eq 0 ] && grep -q -- "$pattern" <<<"$out"; then ok "$name passes"
  elif [ "$want" = fail ] && [ $rc -ne 0 ] && grep -q -- "$pattern" <<<"$out"; then ok "$name rejected: $pattern"
  else bad "$name: expected $want with '$pattern', got rc=$rc: $out"; fi
}

cat > "$work/entry.cpp" <<'SRC'
#include "platform/wdk.h"
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kTagBuffer);
  if (p) ExFreePoolWithTag(p, kTagBuffer);
  return STATUS_SUCCESS;
}
extern "C" NTSTATUS OtherEntry(PVOID, PVOID) { return STATUS_SUCCESS; }
SRC
"$WIN_CXX" "${WIN_CXXFLAGS[@]}" -c "$work/entry.cpp" -o "$work/entry.o"

echo "image checks:"
link clean ''
expect_check clean pass "imports from ntoskrnl.exe"

link msvcrt_import 'extern "C" int printf(const char*, ...); extern "C" void Report(int v) { printf("%d", v); }' -lmsvcrt
expect_check msvcrt_import fail "imports from msvcrt.dll"

link kernel32_import 'extern "C" __declspec(dllimport) void Sleep(unsigned long);
extern "C" void Pause() { Sleep(1); }' -lkernel32
expect_check kernel32_import fail "imports from kernel32.dll"

link wx_section 'asm(".section .patch,\"wx\"\n  ret\n  .text");'
expect_check wx_section fail "writable and executable"

link console_subsystem '' -Wl,--subsystem,console
expect_check console_subsystem fail "expected 1 (native)"

link other_entry '' -Wl,-e,OtherEntry
expect_check other_entry fail "is not DriverEntry"

link dll '' -shared
expect_check dll fail "marked as a DLL"

link fixed_base 'void* g_table[1] = { &g_table };' -Wl,--disable-reloc-section
expect_check fixed_base fail "base relocations stripped"

expect_check clean fail "usb/missing.cpp was not linked" --sources "usb/missing.cpp"

echo "host-only facilities in driver code:"
# Undefined at link: the kernel modules export no C or C++ runtime.
while IFS='|' read -r symbol snippet; do
  if link host_facility "$snippet" 2>"$work/host_facility.log"; then
    bad "linked although it uses the C/C++ runtime: $snippet"
  elif grep -q "undefined reference to \`$symbol" "$work/host_facility.log"; then ok "link refuses $symbol"
  else bad "$symbol: failed for another reason: $(head -3 "$work/host_facility.log")"; fi
done <<'CASES'
printf|extern "C" int printf(const char*, ...); extern "C" void F(int v) { printf("%d", v); }
operator new|int* F() { return new int(1); }
malloc|extern "C" void* malloc(SIZE_T); void* F() { return malloc(4); }
atexit|struct S { int v; ~S() { v = 0; } }; S* F(int x) { static S s; s.v = x; return &s; }
CASES

# Refused before compiling: system headers outside the freestanding set.
mkdir -p "$work/tree/usb"
for header in vector thread cstdio string; do
  printf '#include <%s>\n' "$header" > "$work/tree/usb/bad.cpp"
  if (cd "$work/tree" && win_check_includes) 2>"$work/includes.log"; then
    bad "<$header> accepted in a driver folder"
  elif grep -q "<$header> is not available" "$work/includes.log"; then ok "<$header> refused"
  else bad "<$header>: $(cat "$work/includes.log")"; fi
done
printf '#include <cstring>\n#include <immintrin.h>\n#include "platform/wdk.h"\n' > "$work/tree/usb/bad.cpp"
if (cd "$work/tree" && win_check_includes); then ok "freestanding headers accepted"
else bad "freestanding headers refused"; fi

# Refused after compiling: a static constructor needs a runtime to run it.
printf '%s\n' 'int Compute(); int g_value = Compute();' > "$work/ctor.cpp"
"$WIN_CXX" "${WIN_CXXFLAGS[@]}" -c "$work/ctor.cpp" -o "$work/ctor.o"
if win_check_objects "$work/ctor.o" 2>/dev/null; then bad "static constructor accepted"
else ok "static constructor refused"; fi

echo "image checks: $((cases - failures)) of $cases passed"
[ "$failures" -eq 0 ]
