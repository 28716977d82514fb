// Synchronous USB requests.
#include "usb/usb_request.h"

namespace {

// The request is refused before anything is built or sent.
bool MayIssueRequest(StreamEngine* engine) {
  if (!engine || ReadULongNoFence(&engine->removed) != 0) return false;
  KSDEVICE* device = engine->device;
  if (!device || !device->NextDeviceObject) return false;
  return device->DevicePowerState == PowerDeviceD0;
}

VOID BuildDescriptorRequest(PURB urb, UCHAR type, UCHAR index, USHORT language, PVOID buffer,
                            ULONG length) {
  RtlZeroMemory(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
  _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb->UrbControlDescriptorRequest;
  r.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  r.TransferBufferLength = length;
  r.TransferBuffer = buffer;
  r.TransferBufferMDL = nullptr;
  r.UrbLink = nullptr;
  r.Index = index;
  r.DescriptorType = type;
  r.LanguageId = language;
}

NTSTATUS ControlRequest(StreamEngine* engine, USHORT function, UCHAR request, USHORT value,
                        USHORT index, PVOID buffer, ULONG length, BOOLEAN directionIn,
                        ULONG* transferred) {
  if (transferred) *transferred = 0;
  URB urb;
  RtlZeroMemory(&urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb.UrbControlVendorClassRequest;
  r.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = function;
  r.TransferFlags = directionIn ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
  r.TransferBufferLength = length;
  r.TransferBuffer = length ? buffer : nullptr;
  r.RequestTypeReservedBits = 0;
  r.Request = request;
  r.Value = value;
  r.Index = index;
  r.Reserved1 = 0;
  NTSTATUS status = SubmitUrb(engine, &urb);
  if (!NT_SUCCESS(status)) return STATUS_UNSUCCESSFUL;
  if (transferred) *transferred = r.TransferBufferLength;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS SubmitUrb(StreamEngine* engine, PURB urb) {
  if (!MayIssueRequest(engine)) return STATUS_UNSUCCESSFUL;
  KSDEVICE* device = engine->device;
  KsAcquireDevice(device);
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  ioStatus.Status = STATUS_UNSUCCESSFUL;
  ioStatus.Information = 0;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device->NextDeviceObject,
                                           nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
  if (!irp) {
    KsReleaseDevice(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IofCallDriver(device->NextDeviceObject, irp);
  if (status == STATUS_PENDING) {
    NTSTATUS wait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    if (wait != STATUS_SUCCESS) {
      // The IRP is still in flight: cancel it and wait until it is back
      // before the URB and the status block go out of scope.
      IoCancelIrp(irp);
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = STATUS_UNSUCCESSFUL;
    } else {
      status = ioStatus.Status;
    }
  }
  KsReleaseDevice(device);
  return status;
}

NTSTATUS GetDeviceDescriptor(StreamEngine* engine, PUSB_DEVICE_DESCRIPTOR descriptor) {
  constexpr ULONG kLength = sizeof(USB_DEVICE_DESCRIPTOR);
  // One short-lived block holds the request and the reply.
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(URB) + kLength, kTagRequest));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  PUCHAR reply = reinterpret_cast<PUCHAR>(urb + 1);
  RtlZeroMemory(reply, kLength);
  BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, reply, kLength);
  NTSTATUS status = SubmitUrb(engine, urb);
  if (NT_SUCCESS(status)) {
    if (urb->UrbControlDescriptorRequest.TransferBufferLength < kLength) {
      status = STATUS_UNSUCCESSFUL;  // a short reply has no vendor or product id to trust
    } else {
      RtlCopyMemory(descriptor, reply, kLength);
    }
  }
  ExFreePoolWithTag(urb, kTagRequest);
  return status;
}

NTSTATUS GetConfigurationDescriptor(StreamEngine* engine, PVOID buffer, ULONG length,
                                    ULONG* transferred) {
  *transferred = 0;
  URB urb;
  BuildDescriptorRequest(&urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, length);
  NTSTATUS status = SubmitUrb(engine, &urb);
  if (NT_SUCCESS(status)) {
    ULONG n = urb.UrbControlDescriptorRequest.TransferBufferLength;
    *transferred = n < length ? n : length;
  }
  return status;
}

NTSTATUS GetStringDescriptor(StreamEngine* engine, UCHAR index, CHAR* text) {
  text[0] = 0;
  // First the 4-byte head, to learn bLength.
  constexpr ULONG kHead = 4;
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(URB) + kHead, kTagRequest));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  PUCHAR head = reinterpret_cast<PUCHAR>(urb + 1);
  RtlZeroMemory(head, kHead);
  BuildDescriptorRequest(urb, USB_STRING_DESCRIPTOR_TYPE, index, kLanguageEnglishUs, head, kHead);
  NTSTATUS status = SubmitUrb(engine, urb);
  ULONG got = urb->UrbControlDescriptorRequest.TransferBufferLength;
  UCHAR bLength = head[0];
  ExFreePoolWithTag(urb, kTagRequest);
  if (!NT_SUCCESS(status)) return status;
  if (got < 2 || bLength < 2) return STATUS_UNSUCCESSFUL;

  // Then the whole descriptor, into a block of bLength bytes.
  urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), kTagRequest));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  auto* descriptor = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bLength, kTagRequest));
  if (!descriptor) {
    ExFreePoolWithTag(urb, kTagRequest);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(descriptor, bLength);
  BuildDescriptorRequest(urb, USB_STRING_DESCRIPTOR_TYPE, index, kLanguageEnglishUs, descriptor,
                         bLength);
  status = SubmitUrb(engine, urb);
  if (NT_SUCCESS(status)) {
    // Only the bytes the device returned, after the 2-byte header, are text.
    got = urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (got > bLength) got = bLength;
    ULONG textBytes = got >= 2 ? (got - 2) & ~1u : 0;
    WCHAR wide[127];  // bLength is at most 255: at most 126 characters
    RtlCopyMemory(wide, descriptor + 2, textBytes);
    UNICODE_STRING source;
    source.Length = USHORT(textBytes);
    source.MaximumLength = USHORT(textBytes);
    source.Buffer = wide;
    CHAR ansiBuffer[kStringTextSize];
    ANSI_STRING ansi;
    ansi.Length = 0;
    ansi.MaximumLength = sizeof ansiBuffer;
    ansi.Buffer = ansiBuffer;
    status = RtlUnicodeStringToAnsiString(&ansi, &source, FALSE);
    if (NT_SUCCESS(status)) {
      ULONG end = bLength / 2u - 1u;
      if (end > ansi.Length) end = ansi.Length;
      RtlCopyMemory(text, ansiBuffer, end);
      text[end] = 0;
    }
  }
  ExFreePoolWithTag(descriptor, kTagRequest);
  ExFreePoolWithTag(urb, kTagRequest);
  return status;
}

NTSTATUS VendorRequest(StreamEngine* engine, UCHAR request, USHORT value, USHORT index,
                       PVOID buffer, ULONG length, BOOLEAN directionIn, ULONG* transferred) {
  return ControlRequest(engine, URB_FUNCTION_VENDOR_ENDPOINT, request, value, index, buffer, length,
                        directionIn, transferred);
}

NTSTATUS ClassRequest(StreamEngine* engine, UCHAR request, USHORT value, USHORT index,
                      PVOID buffer, ULONG length, BOOLEAN directionIn, ULONG* transferred) {
  return ControlRequest(engine, URB_FUNCTION_CLASS_INTERFACE, request, value, index, buffer, length,
                        directionIn, transferred);
}

NTSTATUS UnitRequest(StreamEngine* engine, UCHAR request, UCHAR selector, UCHAR unitId,
                     PVOID buffer, ULONG length, BOOLEAN directionIn, ULONG* transferred) {
  // The recipient is the video-control interface: its number is the low
  // byte of wIndex, next to the unit.
  LONG vc = engine ? engine->controlInterface : kNoInterface;
  USHORT index = USHORT((unitId << 8) | (vc >= 0 && vc <= 0xFF ? vc : 0));
  NTSTATUS status = ClassRequest(engine, request, USHORT(selector << 8), index, buffer, length,
                                 directionIn, transferred);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

namespace {

NTSTATUS QueryInterfaceCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours; we free it
}

}  // namespace

NTSTATUS QueryHighSpeed(StreamEngine* engine, ULONG* highSpeed) {
  if (!engine || !engine->device || !engine->device->NextDeviceObject) return STATUS_UNSUCCESSFUL;
  PDEVICE_OBJECT next = engine->device->NextDeviceObject;
  PIRP irp = IoAllocateIrp(CCHAR(next->StackSize + 1), FALSE);
  if (!irp) return STATUS_NO_MEMORY;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;

  USB_BUS_INTERFACE_USBDI_V1 busInterface;
  RtlZeroMemory(&busInterface, sizeof busInterface);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);

  PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(irp);
  sl->MajorFunction = IRP_MJ_PNP;
  sl->MinorFunction = IRP_MN_QUERY_INTERFACE;
  sl->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
  sl->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
  sl->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
  sl->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&busInterface);
  sl->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  IoSetCompletionRoutine(irp, QueryInterfaceCompletion, &event, TRUE, TRUE, TRUE);

  NTSTATUS status = IofCallDriver(next, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  }
  status = irp->IoStatus.Status;
  if (NT_SUCCESS(status)) {
    if (busInterface.IsDeviceHighSpeed) {
      *highSpeed = busInterface.IsDeviceHighSpeed(busInterface.BusContext) & 0xFF;
    }
    // The query handed us a reference on the interface; give it back.
    if (busInterface.InterfaceDereference) busInterface.InterfaceDereference(busInterface.BusContext);
  }
  IoFreeIrp(irp);
  return STATUS_SUCCESS;
}

NTSTATUS ResetPipe(StreamEngine* engine, USBD_PIPE_HANDLE pipeHandle) {
  URB urb;
  RtlZeroMemory(&urb, sizeof(_URB_PIPE_REQUEST));
  urb.UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
  urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  urb.UrbPipeRequest.PipeHandle = pipeHandle;
  return SubmitUrb(engine, &urb);
}
