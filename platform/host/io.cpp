// IRPs on the host: allocation with stack locations, dispatch down the
// stack, completion back up through completion routines, cancellation.
#include <cstdio>
#include <cstdlib>

#include "platform/host/io.h"

namespace {

KSPIN_LOCK gCancelLock = 0;

[[noreturn]] void BugCheck(const char* what) {
  std::fprintf(stderr, "host I/O manager: %s\n", what);
  std::abort();
}

void ResetIrp(PIRP irp, CCHAR stackSize, USHORT size) {
  std::memset(irp, 0, size);
  irp->Type = IO_TYPE_IRP;
  irp->Size = size;
  irp->StackCount = stackSize;
  irp->CurrentLocation = CHAR(stackSize + 1);
  irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
  irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
  auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
}

}  // namespace

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  if (StackSize < 1) BugCheck("IoAllocateIrp with no stack location");
  SIZE_T size = sizeof(IRP) + SIZE_T(StackSize) * sizeof(IO_STACK_LOCATION);
  auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kHostIrpTag));
  if (!irp) return nullptr;
  ResetIrp(irp, StackSize, USHORT(size));
  return irp;
}

VOID IoFreeIrp(PIRP Irp) {
  if (!Irp || Irp->Type != IO_TYPE_IRP) BugCheck("IoFreeIrp of something that is not an IRP");
  Irp->Type = 0;
  ExFreePoolWithTag(Irp, kHostIrpTag);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  if (!Irp || Irp->Type != IO_TYPE_IRP) BugCheck("IoReuseIrp of something that is not an IRP");
  CCHAR stackSize = Irp->StackCount;
  UCHAR allocationFlags = Irp->AllocationFlags;
  ResetIrp(Irp, stackSize, Irp->Size);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Status;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
  if (!DeviceObject || !IoStatusBlock) BugCheck("IoBuildDeviceIoControlRequest without a device");
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (!irp) return nullptr;
  irp->Flags = IRP_SYNCHRONOUS_API | IRP_HOST_THREAD_IRP;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->UserBuffer = OutputBuffer;
  irp->AssociatedIrp.SystemBuffer = InputBuffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL
                                                : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!DeviceObject || !DeviceObject->DriverObject) BugCheck("IofCallDriver without a driver");
  if (!Irp || Irp->Type != IO_TYPE_IRP) BugCheck("IofCallDriver with something that is not an IRP");
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0) BugCheck("IRP has no stack location left");
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION sl = Irp->Tail.Overlay.CurrentStackLocation;
  sl->DeviceObject = DeviceObject;
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[sl->MajorFunction];
  if (!dispatch) BugCheck("driver has no dispatch routine for this major function");
  return dispatch(DeviceObject, Irp);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR) {
  if (!Irp || Irp->Type != IO_TYPE_IRP) BugCheck("IoCompleteRequest of something that is not an IRP");
  if (Irp->CurrentLocation > Irp->StackCount) BugCheck("IRP completed twice");
  if (Irp->IoStatus.Status == STATUS_PENDING) BugCheck("IRP completed with STATUS_PENDING");
  // Read as IoSetCancelRoutine writes it: the owner may cancel the IRP (and
  // so exchange its routine) while the lower driver completes it.
  if (ReadPointerNoFence(reinterpret_cast<PVOID const volatile*>(&Irp->CancelRoutine)))
    BugCheck("IRP completed with a cancel routine still set");
  // Walk up: each location's completion routine belongs to the driver above.
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION sl = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->PendingReturned = (sl->Control & SL_PENDING_RETURNED) != 0;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    bool hasUpper = Irp->CurrentLocation <= Irp->StackCount;
    PDEVICE_OBJECT upper = hasUpper ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = sl->CompletionRoutine &&
                  ((NT_SUCCESS(status) && (sl->Control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(status) && (sl->Control & SL_INVOKE_ON_ERROR)) ||
                   (Irp->Cancel && (sl->Control & SL_INVOKE_ON_CANCEL)));
    PIO_COMPLETION_ROUTINE routine = sl->CompletionRoutine;
    PVOID context = sl->Context;
    std::memset(sl, 0, sizeof *sl);
    if (invoke) {
      if (routine(upper, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (Irp->PendingReturned && hasUpper) {
      IoMarkIrpPending(Irp);
    }
  }
  if (Irp->Flags & IRP_HOST_THREAD_IRP) {
    // A request built by IoBuildDeviceIoControlRequest: hand the status to
    // the caller, signal its event and free the IRP.
    *Irp->UserIosb = Irp->IoStatus;
    PKEVENT event = Irp->UserEvent;
    IoFreeIrp(Irp);
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    return;
  }
  BugCheck("an IRP from IoAllocateIrp completed past its owner (no completion routine "
           "returned STATUS_MORE_PROCESSING_REQUIRED)");
}

VOID IoAcquireCancelSpinLock(KIRQL* Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&gCancelLock); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&gCancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  // The cancel routine runs with the cancel lock held and releases it.
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                              ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                              : nullptr;
  routine(device, Irp);
  return TRUE;
}
