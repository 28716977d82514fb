// The Windows kit headers as the mingw-w64 cross toolchain ships them, with
// what those headers lack or declare differently from the Windows Driver Kit.
// Only the Windows branch of platform/wdk.h includes this file, and only when
// the compiler is mingw-w64; everything here has the kit's name and shape.
#pragma once

#if !defined(__MINGW32__) || !defined(__x86_64__)
#error "platform/mingw_kit.h is for the mingw-w64 x64 kernel-mode build only"
#endif

// ---- before the kit headers ----

// Without POOL_TAGGING the mingw headers turn ExAllocatePoolWithTag into
// ExAllocatePool and the driver's tags would be lost.
#ifndef POOL_TAGGING
#define POOL_TAGGING 1
#endif

// wdm.h defines InterlockedBitTestAndSet/Reset itself, and so does the
// compiler-intrinsics header it includes first; the C++ compiler refuses the
// second definition. Mark the intrinsic versions as already present so that
// only wdm.h's definitions remain.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// The segment-register reads behind KeGetCurrentThread and kin address small
// constant offsets from gs, which GCC 12 takes for out-of-bounds accesses
// once inlined; the warning is silenced for the kit headers' own lines.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#include <ntddk.h>
#include <wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
#include <usbbusif.h>
#include <ks.h>
// ksmedia.h uses the window-geometry types and TCHAR, which kernel-mode code
// gets from windef.h; the kernel is a Unicode environment.
#include <windef.h>
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef WCHAR TCHAR, *PTCHAR;
#endif
#include <ksmedia.h>
#pragma GCC diagnostic pop

// ---- after the kit headers: declarations mingw-w64 lacks ----

// No-fence accessors: single-word reads and writes shared between threads
// without ordering. The kit implements them as volatile accesses; a relaxed
// atomic access compiles to the same single mov on x64.
#define UVCCAM_NOFENCE_ACCESSORS(Type, ReadName, WriteName)                 \
  __forceinline Type ReadName(Type const volatile* Source) {                \
    return __atomic_load_n(Source, __ATOMIC_RELAXED);                       \
  }                                                                         \
  __forceinline VOID WriteName(Type volatile* Destination, Type Value) {    \
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);                 \
  }
UVCCAM_NOFENCE_ACCESSORS(LONG, ReadNoFence, WriteNoFence)
UVCCAM_NOFENCE_ACCESSORS(LONG, ReadLongNoFence, WriteLongNoFence)
UVCCAM_NOFENCE_ACCESSORS(ULONG, ReadULongNoFence, WriteULongNoFence)
UVCCAM_NOFENCE_ACCESSORS(UCHAR, ReadUCharNoFence, WriteUCharNoFence)
UVCCAM_NOFENCE_ACCESSORS(PVOID, ReadPointerNoFence, WritePointerNoFence)
#undef UVCCAM_NOFENCE_ACCESSORS

// Extended-state feature masks: wdm.h names only the legacy and GSSE bits,
// and with the MSVC-only i64 literal suffix.
#ifndef XSTATE_MASK_AVX
#define XSTATE_MASK_AVX (1ULL << 2)  // the upper halves of the YMM registers
#endif
#ifndef XSTATE_MASK_AVX512
#define XSTATE_MASK_AVX512 ((1ULL << 5) | (1ULL << 6) | (1ULL << 7))  // opmask, ZMM_H, Hi16_ZMM
#endif

// The extended-state save record is filled by the kernel; pin the fields the
// kernel writes so that a header difference cannot make it write past it.
static_assert(sizeof(XSTATE_CONTEXT) == 32, "XSTATE_CONTEXT on x64");
static_assert(offsetof(XSTATE_SAVE, XStateContext) == 24 && sizeof(XSTATE_SAVE) >= 56,
              "XSTATE_SAVE on x64");

// Wide string literals: the kit's WCHAR is the compiler's wchar_t here.
#define UVCCAM_WIDE(text) L##text

// ks.h declares the reference-clock interface and its accessor only where a
// kernel-mode IUnknown is declared, which the mingw-w64 headers do not
// provide in this configuration. The kit's shape: IUnknown's three methods,
// then the clock's six, in this order.
struct IKsReferenceClock {
  virtual NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID InterfaceId, PVOID* Interface) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
  virtual LONGLONG STDMETHODCALLTYPE GetTime() = 0;
  virtual LONGLONG STDMETHODCALLTYPE GetPhysicalTime() = 0;
  virtual LONGLONG STDMETHODCALLTYPE GetCorrelatedTime(LONGLONG* SystemTime) = 0;
  virtual LONGLONG STDMETHODCALLTYPE GetCorrelatedPhysicalTime(LONGLONG* SystemTime) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetResolution(PKSRESOLUTION Resolution) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetState(PKSSTATE State) = 0;
};
typedef IKsReferenceClock* PIKSREFERENCECLOCK;
extern "C" NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface);
