// The bus stand-in's IRP dispatch: streaming URBs go to the schedule, other
// requests complete at once or, in pending mode, on the bus thread; and the
// USBDI bus-interface query.
#include "platform/host/usb_bus_impl.h"

namespace host {

BOOLEAN UsbBus::Impl::IsDeviceHighSpeed(PVOID context) {
  Impl* self = static_cast<Impl*>(context);
  std::lock_guard<std::mutex> guard(self->lock);
  return self->device->HighSpeed() ? TRUE : FALSE;
}

// Returns the status to complete with, or leaves IoStatus as it was for a
// query the bus does not answer (the PnP rule for unhandled interfaces).
void UsbBus::Impl::QueryInterface(PIRP irp) {
  std::lock_guard<std::mutex> guard(lock);
  if (!busInterface || !IsUsbdiQuery(irp)) return;
  ++counts[size_t(UsbRequestKind::QueryInterface)];
  AnswerUsbdiQuery(irp, {this, Reference, Dereference, IsDeviceHighSpeed});
}

// Does the work of one IRP and completes it; returns the status it
// completed with.
NTSTATUS UsbBus::Impl::Process(PIRP irp) {
  PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
  if (sl->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    if (sl->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
      Outcome o = ProcessUrb(static_cast<URB*>(sl->Parameters.Others.Argument1));
      irp->IoStatus.Status = o.status;
    }
    irp->IoStatus.Information = 0;
  } else if (sl->MajorFunction == IRP_MJ_PNP) {
    if (sl->MinorFunction == IRP_MN_QUERY_INTERFACE) QueryInterface(irp);
  } else {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

VOID UsbBus::Impl::CancelQueued(PDEVICE_OBJECT device, PIRP irp) {
  Impl* self = From(device);
  bool found = false;
  {
    std::lock_guard<std::mutex> q(self->queueLock);
    for (auto it = self->queue.begin(); it != self->queue.end(); ++it) {
      if (*it == irp) {
        self->queue.erase(it);
        found = true;
        break;
      }
    }
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (found) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

bool UsbBus::Impl::IsStreamUrb(PIRP irp) {
  PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
  if (sl->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
      sl->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
    return false;
  auto* urb = static_cast<URB*>(sl->Parameters.Others.Argument1);
  return urb && (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER ||
                 urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
}

NTSTATUS UsbBus::Impl::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  Impl* self = From(device);
  if (IsStreamUrb(irp))
    return self->SubmitStream(
        irp, static_cast<URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1));
  UsbCompletionMode mode;
  {
    std::lock_guard<std::mutex> guard(self->lock);
    mode = self->mode;
  }
  if (mode == UsbCompletionMode::Synchronous) return self->Process(irp);
  IoMarkIrpPending(irp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoSetCancelRoutine(irp, CancelQueued);
  {
    std::lock_guard<std::mutex> q(self->queueLock);
    self->queue.push_back(irp);
    std::lock_guard<std::mutex> guard(self->lock);
    ++self->pendingReturned;
  }
  IoReleaseCancelSpinLock(irql);
  self->queueChanged.notify_all();
  return STATUS_PENDING;
}

void UsbBus::Impl::Run() {
  for (;;) {
    {
      std::unique_lock<std::mutex> q(queueLock);
      queueChanged.wait(q, [&] { return stopping || !queue.empty(); });
      if (queue.empty() && stopping) return;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = nullptr;
    {
      std::lock_guard<std::mutex> q(queueLock);
      if (!queue.empty()) {
        irp = queue.front();
        queue.pop_front();
      }
    }
    if (irp) IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    if (irp) Process(irp);
  }
}

}  // namespace host
