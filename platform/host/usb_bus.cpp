// The USB bus stand-in. See usb_bus.h. Its inner record and the files that
// hold each part of its work are listed in usb_bus_impl.h.
#include "platform/host/usb_bus.h"

#include "platform/host/usb_bus_impl.h"

namespace host {

NTSTATUS UsbdStatusToNtStatus(USBD_STATUS status) {
  switch (status) {
    case USBD_STATUS_SUCCESS:
      return STATUS_SUCCESS;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_BUFFER_TOO_SMALL:
      return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

PVOID UsbBus::Impl::NewHandle() {
  nextHandle += 0x40;
  return reinterpret_cast<PVOID>(nextHandle);
}

UsbBus::Impl::Outcome UsbBus::Impl::Reject(USBD_STATUS s, const char* why) {
  ++rejected;
  lastRejection = s;
  lastReason = why;
  return Outcome{s, UsbdStatusToNtStatus(s)};
}

const UsbBusPipe* UsbBus::Impl::FindPipe(USBD_PIPE_HANDLE h) const {
  for (const UsbBusPipe& p : pipes)
    if (p.handle == h) return &p;
  return nullptr;
}

UsbBus::UsbBus(UsbDeviceModel* device) : impl_(new Impl) {
  impl_->device = device;
  impl_->driver.Type = IO_TYPE_DRIVER;
  for (auto& f : impl_->driver.MajorFunction) f = Impl::Dispatch;
  impl_->deviceObject.Type = IO_TYPE_DEVICE;
  impl_->deviceObject.DriverObject = &impl_->driver;
  impl_->deviceObject.DeviceExtension = impl_.get();
  impl_->deviceObject.StackSize = 1;
}

UsbBus::~UsbBus() {
  // Transfers still queued complete as if the device went away.
  impl_->FailAllStreams(USBD_STATUS_DEVICE_GONE);
  {
    std::lock_guard<std::mutex> guard(impl_->streamLock);
    impl_->schedulerStop = true;
  }
  impl_->streamChanged.notify_all();
  if (impl_->scheduler.joinable()) impl_->scheduler.join();
  {
    std::lock_guard<std::mutex> q(impl_->queueLock);
    impl_->stopping = true;
  }
  impl_->queueChanged.notify_all();
  if (impl_->worker.joinable()) impl_->worker.join();
}

PDEVICE_OBJECT UsbBus::DeviceObject() { return &impl_->deviceObject; }

void UsbBus::SetCompletionMode(UsbCompletionMode mode) {
  // The bus thread starts with the first switch to pending completion.
  if (mode == UsbCompletionMode::Pending && !impl_->worker.joinable())
    impl_->worker = std::thread([this] { impl_->Run(); });
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->mode = mode;
}

void UsbBus::SetBusInterfaceAvailable(bool available) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->busInterface = available;
}

void UsbBus::Unplug() {
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->unplugged = true;
  }
  impl_->FailAllStreams(USBD_STATUS_DEVICE_GONE);
}

uint64_t UsbBus::QueuedTransfers() const {
  std::lock_guard<std::mutex> guard(impl_->streamLock);
  return impl_->streams.size();
}

uint64_t UsbBus::CompletedWith(NTSTATUS status) const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  auto it = impl_->completedByStatus.find(status);
  return it == impl_->completedByStatus.end() ? 0 : it->second;
}

bool UsbBus::PipeHalted(USBD_PIPE_HANDLE handle) const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->halted.count(handle) != 0;
}

uint64_t UsbBus::Count(UsbRequestKind kind) const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->counts[size_t(kind)];
}

uint64_t UsbBus::DeviceRequests() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->deviceRequests;
}

uint64_t UsbBus::Rejected() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->rejected;
}

USBD_STATUS UsbBus::LastRejection() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->lastRejection;
}

std::string UsbBus::LastRejectionReason() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->lastReason;
}

uint64_t UsbBus::PendingReturned() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->pendingReturned;
}

std::vector<UsbSetupPacket> UsbBus::ControlLog() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->controlLog;
}

std::vector<std::pair<uint8_t, uint8_t>> UsbBus::InterfaceSelections() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->selections;
}

void UsbBus::ResetCounters() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  for (auto& c : impl_->counts) c = 0;
  impl_->deviceRequests = impl_->rejected = impl_->pendingReturned = 0;
  impl_->completedByStatus.clear();
  impl_->lastRejection = USBD_STATUS_SUCCESS;
  impl_->lastReason.clear();
  impl_->controlLog.clear();
  impl_->selections.clear();
}

int UsbBus::BusInterfaceReferences() const { return impl_->interfaceReferences.load(); }

std::vector<UsbBusPipe> UsbBus::Pipes() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->pipes;
}

bool UsbBus::PipeHandleValid(USBD_PIPE_HANDLE handle) const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->ValidPipe(handle);
}

USBD_CONFIGURATION_HANDLE UsbBus::ConfigurationHandle() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->configurationHandle;
}

}  // namespace host
