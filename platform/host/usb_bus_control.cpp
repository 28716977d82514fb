// The bus stand-in's control-transfer path: descriptor, vendor and class
// requests, configuration and interface selection, and pipe resets, each
// URB checked strictly before it reaches the device model.
#include <algorithm>
#include <cstddef>

#include "platform/host/usb_bus_impl.h"

namespace host {

// Parses the device's own configuration descriptor. Stops at the first
// descriptor whose length is impossible; what was parsed up to there counts.
UsbBus::Impl::ParsedConfiguration UsbBus::Impl::Parse(const std::vector<uint8_t>& d) {
  ParsedConfiguration pc;
  if (d.size() < 9 || d[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) return pc;
  pc.valid = true;
  pc.value = d[5];
  size_t end = std::min<size_t>(d.size(), size_t(d[2] | d[3] << 8));
  size_t off = 0;
  while (off + 2 <= end) {
    size_t len = d[off];
    if (len < 2 || off + len > end) break;
    uint8_t type = d[off + 1];
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && len >= 9) {
      AltSetting a{d[off + 2], d[off + 3], d[off + 5], d[off + 6], d[off + 7], d[off + 4], {}};
      pc.settings.push_back(a);
      bool seen = false;
      for (uint8_t n : pc.interfaceNumbers) seen = seen || n == a.number;
      if (!seen) pc.interfaceNumbers.push_back(a.number);
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && len >= 7 && !pc.settings.empty()) {
      pc.settings.back().endpoints.push_back(
          Endpoint{d[off + 2], d[off + 3], uint16_t(d[off + 4] | d[off + 5] << 8), d[off + 6]});
    }
    off += len;
  }
  return pc;
}

UsbBus::Impl::Outcome UsbBus::Impl::Control(const UsbSetupPacket& setup, PVOID buffer,
                                            ULONG* transferLength, UsbRequestKind kind) {
  ++counts[size_t(kind)];
  ++deviceRequests;
  controlLog.push_back(setup);
  std::vector<uint8_t> data(setup.wLength);
  bool in = setup.bmRequestType & 0x80;
  if (!in && setup.wLength) std::memcpy(data.data(), buffer, setup.wLength);
  UsbControlResult r = device->Control(setup, data.data());
  if (r.stalled) {
    *transferLength = 0;
    return Outcome{USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL};
  }
  uint32_t n = std::min<uint32_t>(r.length, setup.wLength);
  if (in && n) std::memcpy(buffer, data.data(), n);
  *transferLength = in ? n : setup.wLength;
  return Outcome{USBD_STATUS_SUCCESS, STATUS_SUCCESS};
}

// Checks shared by the control-transfer URBs.
const char* UsbBus::Impl::CheckControlBuffer(ULONG length, PVOID buffer, PVOID mdl,
                                             struct _URB* link) {
  if (length > 0xFFFF) return "control transfer longer than 65535 bytes";
  if (length && !buffer) return "transfer buffer missing";
  if (mdl) return "MDL transfers are not supported by this bus";
  if (link) return "linked URBs are not supported";
  return nullptr;
}

UsbBus::Impl::Outcome UsbBus::Impl::GetDescriptor(_URB_CONTROL_DESCRIPTOR_REQUEST& u) {
  if (u.Hdr.Length != sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST))
    return Reject(USBD_STATUS_INVALID_PARAMETER, "get-descriptor URB length");
  if (const char* why = CheckControlBuffer(u.TransferBufferLength, u.TransferBuffer,
                                           u.TransferBufferMDL, u.UrbLink))
    return Reject(USBD_STATUS_INVALID_PARAMETER, why);
  UsbSetupPacket setup{0x80, 6, uint16_t(u.DescriptorType << 8 | u.Index), u.LanguageId,
                       uint16_t(u.TransferBufferLength)};
  return Control(setup, u.TransferBuffer, &u.TransferBufferLength, UsbRequestKind::GetDescriptor);
}

UsbBus::Impl::Outcome UsbBus::Impl::VendorOrClass(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST& u,
                                                  uint8_t type, uint8_t recipient) {
  if (u.Hdr.Length != sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST))
    return Reject(USBD_STATUS_INVALID_PARAMETER, "vendor/class URB length");
  if (const char* why = CheckControlBuffer(u.TransferBufferLength, u.TransferBuffer,
                                           u.TransferBufferMDL, u.UrbLink))
    return Reject(USBD_STATUS_INVALID_PARAMETER, why);
  if (u.TransferFlags & ~ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK))
    return Reject(USBD_STATUS_INVALID_PARAMETER, "unknown transfer flags");
  uint8_t bm = uint8_t((u.TransferFlags & USBD_TRANSFER_DIRECTION_IN ? 0x80 : 0) | type << 5 |
                       recipient | u.RequestTypeReservedBits);
  UsbSetupPacket setup{bm, u.Request, u.Value, u.Index, uint16_t(u.TransferBufferLength)};
  return Control(setup, u.TransferBuffer, &u.TransferBufferLength,
                 type == 1 ? UsbRequestKind::Class : UsbRequestKind::Vendor);
}

uint16_t UsbBus::Impl::EffectivePacketSize(const Endpoint& e, bool highSpeed) {
  uint16_t base = e.wMaxPacketSize & 0x7FF;
  uint8_t type = e.attributes & 3;
  if (highSpeed && (type == USB_ENDPOINT_TYPE_ISOCHRONOUS || type == USB_ENDPOINT_TYPE_INTERRUPT)) {
    unsigned extra = (e.wMaxPacketSize >> 11) & 3;
    if (extra < 3) return uint16_t(base * (1 + extra));
  }
  return base;
}

// Checks one interface information block against the device's own
// descriptors and fills in what the bus reports. Pipes are appended to
// `newPipes`; nothing of the current state changes here.
const char* UsbBus::Impl::FillInterface(const ParsedConfiguration& pc,
                                        USBD_INTERFACE_INFORMATION& info,
                                        std::vector<UsbBusPipe>* newPipes) {
  if (info.Length != 24u * (info.NumberOfPipes + 1)) return "interface information length";
  const AltSetting* alt = nullptr;
  for (const AltSetting& a : pc.settings)
    if (a.number == info.InterfaceNumber && a.alternate == info.AlternateSetting) alt = &a;
  if (!alt) return "no such interface or alternate setting";
  if (info.NumberOfPipes != alt->numEndpoints) return "pipe count differs from bNumEndpoints";
  if (alt->endpoints.size() < alt->numEndpoints)
    return "interface declares more endpoints than its descriptors hold";
  info.Class = alt->cls;
  info.SubClass = alt->subClass;
  info.Protocol = alt->protocol;
  info.InterfaceHandle = NewHandle();
  bool hs = device->HighSpeed();
  for (ULONG i = 0; i < info.NumberOfPipes; ++i) {
    USBD_PIPE_INFORMATION& p = info.Pipes[i];
    const Endpoint& e = alt->endpoints[i];
    p.EndpointAddress = e.address;
    p.Interval = e.interval;
    p.PipeType = USBD_PIPE_TYPE(e.attributes & 3);
    p.MaximumPacketSize = EffectivePacketSize(e, hs);
    p.PipeHandle = NewHandle();
    newPipes->push_back(UsbBusPipe{p.PipeHandle, alt->number, alt->alternate, e.address,
                                   p.PipeType, p.MaximumPacketSize, p.MaximumTransferSize});
  }
  return nullptr;
}

UsbBus::Impl::Outcome UsbBus::Impl::SelectConfiguration(URB* urb) {
  _URB_SELECT_CONFIGURATION& u = urb->UrbSelectConfiguration;
  if (u.Hdr.Length < offsetof(_URB_SELECT_CONFIGURATION, Interface))
    return Reject(USBD_STATUS_INVALID_PARAMETER, "select-configuration URB too short");
  if (!u.ConfigurationDescriptor) {  // unconfigure
    if (u.Hdr.Length != sizeof(_URB_SELECT_CONFIGURATION))
      return Reject(USBD_STATUS_INVALID_PARAMETER, "unconfigure URB length");
    ++counts[size_t(UsbRequestKind::SelectConfiguration)];
    ++deviceRequests;
    pipes.clear();
    configurationHandle = nullptr;
    device->ConfigurationSelected(0);
    return Outcome{USBD_STATUS_SUCCESS, STATUS_SUCCESS};
  }
  ParsedConfiguration pc = Parse(device->ConfigurationDescriptor());
  if (!pc.valid || u.ConfigurationDescriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      u.ConfigurationDescriptor->bConfigurationValue != pc.value)
    return Reject(USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR, "not the device's configuration");
  size_t total = u.Hdr.Length;
  size_t off = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  auto* base = reinterpret_cast<uint8_t*>(urb);
  std::vector<uint8_t> seen;
  std::vector<UsbBusPipe> newPipes;
  std::vector<USBD_INTERFACE_INFORMATION*> infos;
  while (off < total) {
    if (total - off < offsetof(USBD_INTERFACE_INFORMATION, Pipes))
      return Reject(USBD_STATUS_INVALID_PARAMETER, "interface information cut short");
    auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(base + off);
    if (info->Length < 24 || info->Length > total - off)
      return Reject(USBD_STATUS_INVALID_PARAMETER, "interface information runs past the URB");
    for (uint8_t n : seen)
      if (n == info->InterfaceNumber)
        return Reject(USBD_STATUS_INVALID_PARAMETER, "interface listed twice");
    seen.push_back(info->InterfaceNumber);
    if (const char* why = FillInterface(pc, *info, &newPipes))
      return Reject(USBD_STATUS_INVALID_PARAMETER, why);
    infos.push_back(info);
    off += info->Length;
  }
  if (seen.size() != pc.interfaceNumbers.size())
    return Reject(USBD_STATUS_INVALID_PARAMETER, "not every interface of the configuration listed");
  ++counts[size_t(UsbRequestKind::SelectConfiguration)];
  ++deviceRequests;
  configurationHandle = NewHandle();
  u.ConfigurationHandle = configurationHandle;
  pipes = std::move(newPipes);
  device->ConfigurationSelected(pc.value);
  for (USBD_INTERFACE_INFORMATION* info : infos)
    device->InterfaceSelected(info->InterfaceNumber, info->AlternateSetting);
  return Outcome{USBD_STATUS_SUCCESS, STATUS_SUCCESS};
}

UsbBus::Impl::Outcome UsbBus::Impl::SelectInterface(URB* urb) {
  _URB_SELECT_INTERFACE& u = urb->UrbSelectInterface;
  size_t head = offsetof(_URB_SELECT_INTERFACE, Interface);
  if (u.Hdr.Length < head + offsetof(USBD_INTERFACE_INFORMATION, Pipes) ||
      u.Hdr.Length != head + u.Interface.Length)
    return Reject(USBD_STATUS_INVALID_PARAMETER, "select-interface URB length");
  if (!configurationHandle || u.ConfigurationHandle != configurationHandle)
    return Reject(USBD_STATUS_INVALID_PARAMETER, "stale or missing configuration handle");
  ParsedConfiguration pc = Parse(device->ConfigurationDescriptor());
  std::vector<UsbBusPipe> newPipes;
  if (const char* why = FillInterface(pc, u.Interface, &newPipes))
    return Reject(USBD_STATUS_INVALID_PARAMETER, why);
  ++counts[size_t(UsbRequestKind::SelectInterface)];
  ++deviceRequests;
  std::vector<UsbBusPipe> kept;
  for (const UsbBusPipe& p : pipes)
    if (p.interfaceNumber != u.Interface.InterfaceNumber) kept.push_back(p);
  for (const UsbBusPipe& p : newPipes) kept.push_back(p);
  pipes = std::move(kept);
  selections.emplace_back(u.Interface.InterfaceNumber, u.Interface.AlternateSetting);
  device->InterfaceSelected(u.Interface.InterfaceNumber, u.Interface.AlternateSetting);
  return Outcome{USBD_STATUS_SUCCESS, STATUS_SUCCESS};
}

bool UsbBus::Impl::ValidPipe(USBD_PIPE_HANDLE h) const {
  for (const UsbBusPipe& p : pipes)
    if (p.handle == h) return true;
  return false;
}

UsbBus::Impl::Outcome UsbBus::Impl::ResetPipe(_URB_PIPE_REQUEST& u) {
  if (u.Hdr.Length != sizeof(_URB_PIPE_REQUEST))
    return Reject(USBD_STATUS_INVALID_PARAMETER, "pipe-request URB length");
  if (!ValidPipe(u.PipeHandle))
    return Reject(USBD_STATUS_INVALID_PIPE_HANDLE, "unknown pipe handle");
  ++counts[size_t(UsbRequestKind::ResetPipe)];
  ++deviceRequests;
  halted.erase(u.PipeHandle);
  ++pipeGeneration[u.PipeHandle];
  if (const UsbBusPipe* p = FindPipe(u.PipeHandle)) device->EndpointReset(p->endpointAddress);
  return Outcome{USBD_STATUS_SUCCESS, STATUS_SUCCESS};
}

UsbBus::Impl::Outcome UsbBus::Impl::ProcessUrb(URB* urb) {
  std::lock_guard<std::mutex> guard(lock);
  if (!urb) return Reject(USBD_STATUS_INVALID_PARAMETER, "no URB");
  if (unplugged) {
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    return Outcome{USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED};
  }
  Outcome o;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      o = GetDescriptor(urb->UrbControlDescriptorRequest);
      break;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
      o = VendorOrClass(urb->UrbControlVendorClassRequest, 2,
                        uint8_t(urb->UrbHeader.Function - URB_FUNCTION_VENDOR_DEVICE));
      break;
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
      o = VendorOrClass(urb->UrbControlVendorClassRequest, 1,
                        uint8_t(urb->UrbHeader.Function - URB_FUNCTION_CLASS_DEVICE));
      break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      o = SelectConfiguration(urb);
      break;
    case URB_FUNCTION_SELECT_INTERFACE:
      o = SelectInterface(urb);
      break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      o = ResetPipe(urb->UrbPipeRequest);
      break;
    default:
      o = Reject(USBD_STATUS_INVALID_URB_FUNCTION, "URB function not handled by this bus");
      break;
  }
  urb->UrbHeader.Status = o.usbd;
  return o;
}

}  // namespace host
