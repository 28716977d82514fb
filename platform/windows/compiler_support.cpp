// The few helpers the compiler emits calls to and no kernel module exports.
// memcpy, memset, memmove and memcmp come from ntoskrnl.exe.
#include "platform/wdk.h"

// Stack probe for frames of a page or more: touches each page from the
// caller's stack pointer down to the new frame, in order, so that a frame
// running past the kernel stack hits its guard page instead of memory beyond
// it. In: rax = frame size. Preserves every register.
asm(R"(
  .text
  .globl ___chkstk_ms
  .def ___chkstk_ms; .scl 2; .type 32; .endef
___chkstk_ms:
  pushq %rcx
  pushq %rax
  leaq 24(%rsp), %rcx
1:
  cmpq $0x1000, %rax
  jb 2f
  subq $0x1000, %rcx
  orq $0, (%rcx)
  subq $0x1000, %rax
  jmp 1b
2:
  subq %rax, %rcx
  orq $0, (%rcx)
  popq %rax
  popq %rcx
  ret
)");

// A call through a pure virtual slot is a driver fault with no way to go on.
extern "C" void __cxa_pure_virtual() {
  KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG_PTR>(STATUS_NOT_IMPLEMENTED),
               reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)), 0, 0);
}
