// Kernel services the driver calls: pool, spin locks, interlocked and
// no-fence accessors, debug print. User-mode implementations live in
// platform/host/*.cpp.
#pragma once

#include "platform/host/nt_types.h"

// ---- pool ----
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);

#define RtlZeroMemory(Destination, Length) std::memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) std::memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) std::memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) std::memmove((Destination), (Source), (Length))
// Bytes that match from the start (the length when both blocks are equal).
inline SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const auto* a = static_cast<const unsigned char*>(Source1);
  const auto* b = static_cast<const unsigned char*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

// ---- IRQL and spin locks ----
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))
KIRQL KeGetCurrentIrql();
VOID KeRaiseIrql(KIRQL NewIrql, KIRQL* OldIrql);
VOID KeLowerIrql(KIRQL NewIrql);

// ---- interlocked operations (full barriers) ----
inline LONG InterlockedIncrement(LONG volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                               PVOID Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

// ---- no-fence accessors: single-word reads and writes shared between
// threads without ordering (relaxed atomics on the host) ----
inline LONG ReadNoFence(LONG const volatile* Source) {
  return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
inline VOID WriteNoFence(LONG volatile* Destination, LONG Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
inline ULONG ReadULongNoFence(ULONG const volatile* Source) {
  return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
inline VOID WriteULongNoFence(ULONG volatile* Destination, ULONG Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
inline LONG ReadLongNoFence(LONG const volatile* Source) {
  return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
inline VOID WriteLongNoFence(LONG volatile* Destination, LONG Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
inline UCHAR ReadUCharNoFence(UCHAR const volatile* Source) {
  return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
inline VOID WriteUCharNoFence(UCHAR volatile* Destination, UCHAR Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
inline PVOID ReadPointerNoFence(PVOID const volatile* Source) {
  return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
inline VOID WritePointerNoFence(PVOID volatile* Destination, PVOID Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}

// ---- debug output ----
ULONG DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));

#define UNREFERENCED_PARAMETER(P) ((void)(P))

// ---- dispatcher objects: events and waits ----
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _WAIT_TYPE { WaitAll = 0, WaitAny = 1 } WAIT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6, Suspended = 5 } KWAIT_REASON;
typedef enum _MODE { KernelMode = 0, UserMode = 1 } MODE;

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;  // the EVENT_TYPE for events
  UCHAR Signalling;
  UCHAR Size;
  UCHAR Reserved1;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;
static_assert(sizeof(KEVENT) == 24, "KEVENT is three pointers long on x64");

typedef struct _KWAIT_BLOCK {
  PVOID Reserved[6];
} KWAIT_BLOCK, *PKWAIT_BLOCK;
#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64
#define IO_NO_INCREMENT 0

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

// Timeout: null waits forever; negative is relative (100 ns units), zero
// polls, positive is an absolute system time. Returns STATUS_SUCCESS
// (STATUS_WAIT_0 + index for WaitAny) or STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray);

// ---- time: all reads and delays go through the host clock ----
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);
VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount);
ULONG KeQueryTimeIncrement();
ULONGLONG KeQueryInterruptTime();
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

// ---- counted strings ----
typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminator
  USHORT MaximumLength;  // bytes
  PWCHAR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, *PANSI_STRING;

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
// Characters outside 7-bit ASCII become '?'. Without AllocateDestinationString
// a destination that is too small receives what fits, terminated, and the
// result is STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                      PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
VOID RtlFreeAnsiString(PANSI_STRING AnsiString);

// ---- deferred procedure calls: one DPC thread runs them in queue order at
// DISPATCH_LEVEL ----
typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;
typedef ULONG_PTR KAFFINITY;

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  volatile USHORT Number;
  SINGLE_LIST_ENTRY DpcListEntry;
  KAFFINITY ProcessorHistory;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;  // non-null while the DPC is queued
} KDPC, *PKDPC, *PRKDPC;
static_assert(sizeof(KDPC) == 64, "KDPC is 64 bytes on x64");

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
// FALSE when the DPC is already queued (its arguments stay as they were).
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
// TRUE when the DPC was queued and is now removed without running.
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
// Returns once every DPC queued before the call has run (or been removed).
VOID KeFlushQueuedDpcs();
