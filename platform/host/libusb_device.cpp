// A real USB device below the driver, through libusb. See libusb_device.h.
#include "platform/host/libusb_device.h"

#if UVCCAM_LIBUSB

#include <libusb.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/host/kernel.h"

namespace host {

namespace {

struct Pipe {
  USBD_PIPE_HANDLE handle;
  uint8_t interfaceNumber;
  uint8_t endpoint;
  USBD_PIPE_TYPE type;
};

// One IRP whose transfer is with libusb.
struct Pending {
  PIRP irp;
  URB* urb;
  libusb_transfer* transfer;
  USBD_PIPE_HANDLE pipe;              // null for control transfers
  std::unique_ptr<uint8_t[]> control;  // setup packet and data stage of a control transfer
};

uint16_t EffectivePacketSize(const libusb_endpoint_descriptor& e, bool highSpeed) {
  uint16_t base = e.wMaxPacketSize & 0x7FF;
  uint8_t type = e.bmAttributes & 3;
  if (highSpeed && (type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS || type == LIBUSB_TRANSFER_TYPE_INTERRUPT)) {
    unsigned extra = (e.wMaxPacketSize >> 11) & 3;
    if (extra < 3) return uint16_t(base * (1 + extra));
  }
  return base;
}

USBD_STATUS PacketStatus(libusb_transfer_status s) {
  switch (s) {
    case LIBUSB_TRANSFER_COMPLETED:
      return USBD_STATUS_SUCCESS;
    case LIBUSB_TRANSFER_STALL:
      return USBD_STATUS_STALL_PID;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return USBD_STATUS_DEVICE_GONE;
    case LIBUSB_TRANSFER_CANCELLED:
      return USBD_STATUS_CANCELED;
    default:
      return USBD_STATUS_CRC;
  }
}

NTSTATUS IrpStatus(USBD_STATUS s) {
  switch (s) {
    case USBD_STATUS_SUCCESS:
      return STATUS_SUCCESS;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
      return STATUS_INVALID_PARAMETER;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

// A libusb error from a synchronous call as a USBD status.
USBD_STATUS SyncStatus(int error) {
  if (error >= 0) return USBD_STATUS_SUCCESS;
  if (error == LIBUSB_ERROR_NO_DEVICE) return USBD_STATUS_DEVICE_GONE;
  if (error == LIBUSB_ERROR_PIPE) return USBD_STATUS_STALL_PID;
  if (error == LIBUSB_ERROR_NOT_FOUND || error == LIBUSB_ERROR_INVALID_PARAM)
    return USBD_STATUS_INVALID_PARAMETER;
  return USBD_STATUS_CRC;
}

}  // namespace

struct LibusbDevice::Impl {
  libusb_context* context;
  libusb_device_handle* handle;
  std::vector<uint8_t> reattach;
  bool highSpeed = false;
  DRIVER_OBJECT driver{};
  DEVICE_OBJECT deviceObject{};

  // Guards everything below. Held across libusb_submit_transfer and
  // libusb_cancel_transfer so a cancel never meets a transfer that is not
  // submitted yet or already freed.
  mutable std::mutex lock;
  std::condition_variable idle;  // a transfer left `pending`
  std::map<libusb_transfer*, std::unique_ptr<Pending>> pending;
  std::vector<Pipe> pipes;
  std::vector<uint8_t> claimed;
  USBD_CONFIGURATION_HANDLE configuration = nullptr;
  uintptr_t nextHandle = 0x7C000000;
  std::atomic<bool> gone{false};
  std::atomic<bool> stopping{false};
  std::atomic<int> interfaceReferences{0};
  std::thread events;

  static Impl* From(PDEVICE_OBJECT d) { return static_cast<Impl*>(d->DeviceExtension); }

  PVOID NewHandle() {
    nextHandle += 0x40;
    return reinterpret_cast<PVOID>(nextHandle);
  }

  void EventLoop() {
    pthread_setname_np(pthread_self(), "uvccam-usb");
    while (!stopping.load()) {
      timeval tv{0, 100000};
      libusb_handle_events_timeout_completed(context, &tv, nullptr);
    }
  }

  // ---- completions ----

  static void Complete(PIRP irp, URB* urb, USBD_STATUS usbd) {
    if (urb) urb->UrbHeader.Status = usbd;
    irp->IoStatus.Status = IrpStatus(usbd);
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }

  // Completes a transfer's IRP as a host controller's DPC would, at
  // DISPATCH_LEVEL.
  static void CompleteAtDispatch(PIRP irp, URB* urb, USBD_STATUS usbd) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Complete(irp, urb, usbd);
    KeLowerIrql(old);
  }

  // Takes the IRP back from its cancel routine; a cancel routine already
  // running finds nothing in `pending` and leaves the IRP to us.
  static void ClearCancel(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
  }

  static void LIBUSB_CALL TransferDone(libusb_transfer* t) {
    static_cast<Impl*>(t->user_data)->Finish(t);
  }

  void Finish(libusb_transfer* t) {
    std::unique_ptr<Pending> p;
    {
      std::lock_guard<std::mutex> guard(lock);
      auto it = pending.find(t);
      if (it == pending.end()) return;  // cannot happen: every submitted transfer is listed
      p = std::move(it->second);
      pending.erase(it);
      idle.notify_all();  // an abort waits for one pipe, the destructor for all
    }
    USBD_STATUS usbd = PacketStatus(t->status);
    if (usbd == USBD_STATUS_DEVICE_GONE) gone = true;
    URB* urb = p->urb;
    switch (urb->UrbHeader.Function) {
      case URB_FUNCTION_ISOCH_TRANSFER: {
        _URB_ISOCH_TRANSFER& u = urb->UrbIsochronousTransfer;
        u.ErrorCount = 0;
        for (int k = 0; k < t->num_iso_packets; ++k) {
          const libusb_iso_packet_descriptor& d = t->iso_packet_desc[k];
          USBD_ISO_PACKET_DESCRIPTOR& out = u.IsoPacket[k];
          out.Length = t->status == LIBUSB_TRANSFER_COMPLETED ? d.actual_length : 0;
          out.Status = t->status == LIBUSB_TRANSFER_COMPLETED ? PacketStatus(d.status) : usbd;
          if (out.Status != USBD_STATUS_SUCCESS) ++u.ErrorCount;
          // A stalled packet halts the endpoint: the URB reports the stall,
          // as the driver resets the pipe on it.
          if (out.Status == USBD_STATUS_STALL_PID) usbd = USBD_STATUS_STALL_PID;
        }
        break;
      }
      case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = ULONG(t->actual_length);
        break;
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      default: {
        // A control transfer: the data stage follows the setup packet.
        _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& u = urb->UrbControlVendorClassRequest;
        bool in = p->control[0] & 0x80;
        ULONG n = usbd == USBD_STATUS_SUCCESS ? ULONG(t->actual_length) : 0;
        if (in && n) std::memcpy(u.TransferBuffer, p->control.get() + LIBUSB_CONTROL_SETUP_SIZE, n);
        u.TransferBufferLength = in ? n : (usbd == USBD_STATUS_SUCCESS ? u.TransferBufferLength : 0);
        break;
      }
    }
    libusb_free_transfer(t);
    ClearCancel(p->irp);
    CompleteAtDispatch(p->irp, urb, usbd);
  }

  static VOID CancelIrp(PDEVICE_OBJECT device, PIRP irp) {
    Impl* self = From(device);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    std::lock_guard<std::mutex> guard(self->lock);
    for (auto& entry : self->pending)
      if (entry.second->irp == irp) libusb_cancel_transfer(entry.first);
  }

  // Hands a filled transfer to libusb; the IRP completes from the event
  // thread (or at once when the submission fails).
  NTSTATUS Submit(PIRP irp, URB* urb, libusb_transfer* t, USBD_PIPE_HANDLE pipe,
                  std::unique_ptr<uint8_t[]> control) {
    t->user_data = this;
    t->callback = TransferDone;
    t->timeout = 0;
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    IoMarkIrpPending(irp);
    std::unique_lock<std::mutex> guard(lock);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
      IoReleaseCancelSpinLock(irql);
      guard.unlock();
      libusb_free_transfer(t);
      Complete(irp, urb, USBD_STATUS_CANCELED);
      return STATUS_PENDING;
    }
    IoSetCancelRoutine(irp, CancelIrp);
    IoReleaseCancelSpinLock(irql);
    int rc = gone ? LIBUSB_ERROR_NO_DEVICE : libusb_submit_transfer(t);
    if (rc == 0) {
      pending[t].reset(new Pending{irp, urb, t, pipe, std::move(control)});
      return STATUS_PENDING;
    }
    guard.unlock();
    if (rc == LIBUSB_ERROR_NO_DEVICE) gone = true;
    libusb_free_transfer(t);
    ClearCancel(irp);
    Complete(irp, urb, rc == LIBUSB_ERROR_NO_DEVICE ? USBD_STATUS_DEVICE_GONE : SyncStatus(rc));
    return STATUS_PENDING;
  }

  // ---- the URB functions ----

  NTSTATUS ControlTransfer(PIRP irp, URB* urb, uint8_t bmRequestType, uint8_t request,
                           uint16_t value, uint16_t index, PVOID buffer, ULONG length) {
    if (length > 0xFFFF || (length && !buffer)) return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    std::unique_ptr<uint8_t[]> data(new uint8_t[LIBUSB_CONTROL_SETUP_SIZE + length]);
    libusb_fill_control_setup(data.get(), bmRequestType, request, value, index, uint16_t(length));
    if (!(bmRequestType & 0x80) && length)
      std::memcpy(data.get() + LIBUSB_CONTROL_SETUP_SIZE, buffer, length);
    libusb_transfer* t = libusb_alloc_transfer(0);
    if (!t) return Refuse(irp, urb, USBD_STATUS_CRC);
    libusb_fill_control_transfer(t, handle, data.get(), TransferDone, this, 0);
    return Submit(irp, urb, t, nullptr, std::move(data));
  }

  const Pipe* FindPipe(USBD_PIPE_HANDLE h) const {
    for (const Pipe& p : pipes)
      if (p.handle == h) return &p;
    return nullptr;
  }

  NTSTATUS StreamTransfer(PIRP irp, URB* urb) {
    bool isoch = urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER;
    _URB_ISOCH_TRANSFER& i = urb->UrbIsochronousTransfer;
    _URB_BULK_OR_INTERRUPT_TRANSFER& b = urb->UrbBulkOrInterruptTransfer;
    Pipe pipe;
    {
      std::lock_guard<std::mutex> guard(lock);
      const Pipe* p = FindPipe(isoch ? i.PipeHandle : b.PipeHandle);
      if (!p) return Refuse(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
      pipe = *p;
    }
    ULONG flags = isoch ? i.TransferFlags : b.TransferFlags;
    ULONG length = isoch ? i.TransferBufferLength : b.TransferBufferLength;
    auto* buffer = static_cast<uint8_t*>(isoch ? i.TransferBuffer : b.TransferBuffer);
    if (!(flags & USBD_TRANSFER_DIRECTION_IN) || !length || !buffer ||
        (isoch ? i.TransferBufferMDL : b.TransferBufferMDL) || (isoch ? i.UrbLink : b.UrbLink) ||
        (isoch != (pipe.type == UsbdPipeTypeIsochronous)) || length > 0x7FFFFFFF)
      return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    if (!isoch) {
      libusb_transfer* t = libusb_alloc_transfer(0);
      if (!t) return Refuse(irp, urb, USBD_STATUS_CRC);
      if (pipe.type == UsbdPipeTypeInterrupt)
        libusb_fill_interrupt_transfer(t, handle, pipe.endpoint, buffer, int(length), TransferDone, this, 0);
      else
        libusb_fill_bulk_transfer(t, handle, pipe.endpoint, buffer, int(length), TransferDone, this, 0);
      return Submit(irp, urb, t, pipe.handle, nullptr);
    }
    ULONG n = i.NumberOfPackets;
    if (n == 0 || n > 1024 || i.Hdr.Length < offsetof(_URB_ISOCH_TRANSFER, IsoPacket) + 12u * n)
      return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    // The packets lie one after another from the first packet's offset:
    // libusb places packet k right after packet k-1, which is where the
    // URB's packet table says it goes.
    for (ULONG k = 0; k < n; ++k) {
      ULONG end = k + 1 < n ? i.IsoPacket[k + 1].Offset : length;
      if (i.IsoPacket[k].Offset > end || end > length) return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    libusb_transfer* t = libusb_alloc_transfer(int(n));
    if (!t) return Refuse(irp, urb, USBD_STATUS_CRC);
    ULONG first = i.IsoPacket[0].Offset;
    libusb_fill_iso_transfer(t, handle, pipe.endpoint, buffer + first, int(length - first), int(n),
                             TransferDone, this, 0);
    for (ULONG k = 0; k < n; ++k) {
      ULONG end = k + 1 < n ? i.IsoPacket[k + 1].Offset : length;
      t->iso_packet_desc[k].length = end - i.IsoPacket[k].Offset;
    }
    i.StartFrame = 0;
    return Submit(irp, urb, t, pipe.handle, nullptr);
  }

  // Fills one interface information block from the active configuration's
  // alternate setting and adds its pipes to `out`.
  USBD_STATUS FillInterface(const libusb_config_descriptor* config, USBD_INTERFACE_INFORMATION& info,
                            std::vector<Pipe>* out) {
    if (info.Length != 24u * (info.NumberOfPipes + 1)) return USBD_STATUS_INVALID_PARAMETER;
    const libusb_interface_descriptor* alt = nullptr;
    for (int k = 0; k < config->bNumInterfaces; ++k)
      for (int a = 0; a < config->interface[k].num_altsetting; ++a) {
        const libusb_interface_descriptor& d = config->interface[k].altsetting[a];
        if (d.bInterfaceNumber == info.InterfaceNumber && d.bAlternateSetting == info.AlternateSetting)
          alt = &d;
      }
    if (!alt || info.NumberOfPipes != alt->bNumEndpoints) return USBD_STATUS_INVALID_PARAMETER;
    info.Class = alt->bInterfaceClass;
    info.SubClass = alt->bInterfaceSubClass;
    info.Protocol = alt->bInterfaceProtocol;
    info.InterfaceHandle = NewHandle();
    for (ULONG k = 0; k < info.NumberOfPipes; ++k) {
      const libusb_endpoint_descriptor& e = alt->endpoint[k];
      USBD_PIPE_INFORMATION& p = info.Pipes[k];
      p.EndpointAddress = e.bEndpointAddress;
      p.Interval = e.bInterval;
      p.PipeType = USBD_PIPE_TYPE(e.bmAttributes & 3);
      p.MaximumPacketSize = EffectivePacketSize(e, highSpeed);
      p.PipeHandle = NewHandle();
      out->push_back(Pipe{p.PipeHandle, alt->bInterfaceNumber, e.bEndpointAddress, p.PipeType});
    }
    return USBD_STATUS_SUCCESS;
  }

  // Claims every interface of the configuration and selects the alternate
  // settings the URB names. Blocking: the driver selects a configuration
  // at PASSIVE_LEVEL.
  USBD_STATUS SelectConfiguration(URB* urb) {
    _URB_SELECT_CONFIGURATION& u = urb->UrbSelectConfiguration;
    if (u.Hdr.Length < offsetof(_URB_SELECT_CONFIGURATION, Interface)) return USBD_STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(lock);
    if (!u.ConfigurationDescriptor) {  // unconfigure: let the interfaces go
      for (uint8_t n : claimed) libusb_release_interface(handle, n);
      claimed.clear();
      pipes.clear();
      configuration = nullptr;
      return USBD_STATUS_SUCCESS;
    }
    libusb_config_descriptor* config = nullptr;
    int rc = libusb_get_active_config_descriptor(libusb_get_device(handle), &config);
    if (rc < 0) return SyncStatus(rc);
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    std::vector<Pipe> newPipes;
    std::vector<std::pair<uint8_t, uint8_t>> alternates;
    if (u.ConfigurationDescriptor->bConfigurationValue != config->bConfigurationValue)
      status = USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    size_t off = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    auto* base = reinterpret_cast<uint8_t*>(urb);
    while (status == USBD_STATUS_SUCCESS && off < u.Hdr.Length) {
      auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(base + off);
      if (u.Hdr.Length - off < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || info->Length < 24 ||
          info->Length > u.Hdr.Length - off) {
        status = USBD_STATUS_INVALID_PARAMETER;
        break;
      }
      status = FillInterface(config, *info, &newPipes);
      alternates.emplace_back(info->InterfaceNumber, info->AlternateSetting);
      off += info->Length;
    }
    libusb_free_config_descriptor(config);
    for (size_t k = 0; status == USBD_STATUS_SUCCESS && k < alternates.size(); ++k) {
      uint8_t n = alternates[k].first;
      if (std::find(claimed.begin(), claimed.end(), n) == claimed.end()) {
        rc = libusb_claim_interface(handle, n);
        if (rc < 0) status = SyncStatus(rc);
        else claimed.push_back(n);
      }
      if (status == USBD_STATUS_SUCCESS && alternates[k].second != 0)
        status = SyncStatus(libusb_set_interface_alt_setting(handle, n, alternates[k].second));
    }
    if (status != USBD_STATUS_SUCCESS) return status;
    pipes = std::move(newPipes);
    configuration = NewHandle();
    u.ConfigurationHandle = configuration;
    return USBD_STATUS_SUCCESS;
  }

  // Blocking as well: the driver changes the alternate setting at
  // PASSIVE_LEVEL, with no transfer of that interface in flight.
  USBD_STATUS SelectInterface(URB* urb) {
    _URB_SELECT_INTERFACE& u = urb->UrbSelectInterface;
    size_t head = offsetof(_URB_SELECT_INTERFACE, Interface);
    if (u.Hdr.Length < head + offsetof(USBD_INTERFACE_INFORMATION, Pipes) ||
        u.Hdr.Length != head + u.Interface.Length)
      return USBD_STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(lock);
    if (!configuration || u.ConfigurationHandle != configuration) return USBD_STATUS_INVALID_PARAMETER;
    libusb_config_descriptor* config = nullptr;
    int rc = libusb_get_active_config_descriptor(libusb_get_device(handle), &config);
    if (rc < 0) return SyncStatus(rc);
    std::vector<Pipe> newPipes;
    USBD_STATUS status = FillInterface(config, u.Interface, &newPipes);
    libusb_free_config_descriptor(config);
    if (status != USBD_STATUS_SUCCESS) return status;
    status = SyncStatus(libusb_set_interface_alt_setting(handle, u.Interface.InterfaceNumber,
                                                         u.Interface.AlternateSetting));
    if (status != USBD_STATUS_SUCCESS) return status;
    std::vector<Pipe> kept;
    for (const Pipe& p : pipes)
      if (p.interfaceNumber != u.Interface.InterfaceNumber) kept.push_back(p);
    kept.insert(kept.end(), newPipes.begin(), newPipes.end());
    pipes = std::move(kept);
    return USBD_STATUS_SUCCESS;
  }

  // Cancels the pipe's transfers and waits (bounded) until they are back.
  void AbortPipe(USBD_PIPE_HANDLE h) {
    std::unique_lock<std::mutex> guard(lock);
    for (auto& entry : pending)
      if (entry.second->pipe == h) libusb_cancel_transfer(entry.first);
    idle.wait_for(guard, std::chrono::seconds(2), [&] {
      for (auto& entry : pending)
        if (entry.second->pipe == h) return false;
      return true;
    });
  }

  USBD_STATUS PipeRequest(URB* urb, bool reset) {
    _URB_PIPE_REQUEST& u = urb->UrbPipeRequest;
    if (u.Hdr.Length != sizeof(_URB_PIPE_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
    uint8_t endpoint;
    {
      std::lock_guard<std::mutex> guard(lock);
      const Pipe* p = FindPipe(u.PipeHandle);
      if (!p) return USBD_STATUS_INVALID_PIPE_HANDLE;
      endpoint = p->endpoint;
    }
    AbortPipe(u.PipeHandle);
    return reset ? SyncStatus(libusb_clear_halt(handle, endpoint)) : USBD_STATUS_SUCCESS;
  }

  NTSTATUS Refuse(PIRP irp, URB* urb, USBD_STATUS usbd) {
    Complete(irp, urb, usbd);
    return IrpStatus(usbd);
  }

  NTSTATUS SubmitUrb(PIRP irp, URB* urb) {
    if (!urb) return Refuse(irp, nullptr, USBD_STATUS_INVALID_PARAMETER);
    if (gone) return Refuse(irp, urb, USBD_STATUS_DEVICE_GONE);
    USHORT f = urb->UrbHeader.Function;
    switch (f) {
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        _URB_CONTROL_DESCRIPTOR_REQUEST& u = urb->UrbControlDescriptorRequest;
        if (u.Hdr.Length != sizeof u || u.TransferBufferMDL || u.UrbLink)
          return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        return ControlTransfer(irp, urb, 0x80, LIBUSB_REQUEST_GET_DESCRIPTOR,
                               uint16_t(u.DescriptorType << 8 | u.Index), u.LanguageId,
                               u.TransferBuffer, u.TransferBufferLength);
      }
      case URB_FUNCTION_VENDOR_DEVICE:
      case URB_FUNCTION_VENDOR_INTERFACE:
      case URB_FUNCTION_VENDOR_ENDPOINT:
      case URB_FUNCTION_CLASS_DEVICE:
      case URB_FUNCTION_CLASS_INTERFACE:
      case URB_FUNCTION_CLASS_ENDPOINT: {
        _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& u = urb->UrbControlVendorClassRequest;
        if (u.Hdr.Length != sizeof u || u.TransferBufferMDL || u.UrbLink)
          return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        bool vendor = f <= URB_FUNCTION_VENDOR_ENDPOINT && f >= URB_FUNCTION_VENDOR_DEVICE;
        uint8_t recipient = uint8_t(f - (vendor ? URB_FUNCTION_VENDOR_DEVICE : URB_FUNCTION_CLASS_DEVICE));
        uint8_t bm = uint8_t((u.TransferFlags & USBD_TRANSFER_DIRECTION_IN ? 0x80 : 0) |
                             (vendor ? 2 : 1) << 5 | recipient | u.RequestTypeReservedBits);
        return ControlTransfer(irp, urb, bm, u.Request, u.Value, u.Index, u.TransferBuffer,
                               u.TransferBufferLength);
      }
      case URB_FUNCTION_ISOCH_TRANSFER:
      case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return StreamTransfer(irp, urb);
      case URB_FUNCTION_SELECT_CONFIGURATION:
        return Refuse(irp, urb, SelectConfiguration(urb));
      case URB_FUNCTION_SELECT_INTERFACE:
        return Refuse(irp, urb, SelectInterface(urb));
      case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return Refuse(irp, urb, PipeRequest(urb, true));
      case URB_FUNCTION_ABORT_PIPE:
        return Refuse(irp, urb, PipeRequest(urb, false));
      default:
        return Refuse(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
  }

  // ---- the USBDI bus interface ----

  static BOOLEAN IsDeviceHighSpeed(PVOID context) {
    return static_cast<Impl*>(context)->highSpeed ? TRUE : FALSE;
  }
  static VOID Reference(PVOID context) { static_cast<Impl*>(context)->interfaceReferences++; }
  static VOID Dereference(PVOID context) { static_cast<Impl*>(context)->interfaceReferences--; }
  void QueryInterface(PIRP irp) {
    if (IsUsbdiQuery(irp))
      AnswerUsbdiQuery(irp, {this, Reference, Dereference, IsDeviceHighSpeed});
  }

  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Impl* self = From(device);
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    if (sl->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        sl->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
      return self->SubmitUrb(irp, static_cast<URB*>(sl->Parameters.Others.Argument1));
    if (sl->MajorFunction == IRP_MJ_PNP) {
      if (sl->MinorFunction == IRP_MN_QUERY_INTERFACE) self->QueryInterface(irp);
    } else {
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
};

LibusbDevice::LibusbDevice(libusb_context* context, libusb_device_handle* handle,
                           std::vector<uint8_t> reattach)
    : impl_(new Impl) {
  impl_->context = context;
  impl_->handle = handle;
  impl_->reattach = std::move(reattach);
  impl_->highSpeed = libusb_get_device_speed(libusb_get_device(handle)) >= LIBUSB_SPEED_HIGH;
  impl_->driver.Type = IO_TYPE_DRIVER;
  for (auto& f : impl_->driver.MajorFunction) f = Impl::Dispatch;
  impl_->deviceObject.Type = IO_TYPE_DEVICE;
  impl_->deviceObject.DriverObject = &impl_->driver;
  impl_->deviceObject.DeviceExtension = impl_.get();
  impl_->deviceObject.StackSize = 1;
  impl_->events = std::thread([this] { impl_->EventLoop(); });
}

LibusbDevice::~LibusbDevice() {
  {
    // Whatever is still in flight is cancelled; the event thread completes
    // it. A device that never answers a cancel is given up after a while
    // (the kernel reaps it when the device is closed).
    std::unique_lock<std::mutex> guard(impl_->lock);
    for (auto& entry : impl_->pending) libusb_cancel_transfer(entry.first);
    impl_->idle.wait_for(guard, std::chrono::seconds(5), [&] { return impl_->pending.empty(); });
  }
  impl_->stopping = true;
  libusb_interrupt_event_handler(impl_->context);
  impl_->events.join();
  for (uint8_t n : impl_->claimed) libusb_release_interface(impl_->handle, n);
  for (uint8_t n : impl_->reattach) libusb_attach_kernel_driver(impl_->handle, n);
  libusb_close(impl_->handle);
  libusb_exit(impl_->context);
}

PDEVICE_OBJECT LibusbDevice::DeviceObject() { return &impl_->deviceObject; }

size_t LibusbDevice::TransfersInFlight() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->pending.size();
}

bool LibusbDevice::Gone() const { return impl_->gone.load(); }

}  // namespace host

#endif  // UVCCAM_LIBUSB
