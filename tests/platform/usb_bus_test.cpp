// The bus stand-in's checks: a malformed URB is refused before it reaches
// the device, and the refusal is counted.
#include <algorithm>
#include <gtest/gtest.h>

#include "tests/usb/fake_camera.h"

namespace {

using host::UsbRequestKind;

NTSTATUS Send(host::UsbBus& bus, URB* urb, ULONG ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(ioctl, bus.DeviceObject(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS s = IofCallDriver(bus.DeviceObject(), irp);
  if (s == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return s == STATUS_PENDING ? iosb.Status : s;
}

URB Descriptor(void* buffer, ULONG length) {
  URB u{};
  auto& d = u.UrbControlDescriptorRequest;
  d.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  d.TransferBuffer = buffer;
  d.TransferBufferLength = length;
  d.DescriptorType = 1;
  return u;
}

// A select-configuration URB for the fixture camera: interface 0 (one
// pipe) and interface 1 at alternate setting 0 (no pipe).
std::vector<uint8_t> SelectConfigurationUrb(const std::vector<uint8_t>& cfg) {
  std::vector<uint8_t> raw(40 + 48 + 24);
  auto& u = reinterpret_cast<URB*>(raw.data())->UrbSelectConfiguration;
  u.Hdr.Length = USHORT(raw.size());
  u.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  u.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t*>(cfg.data()));
  auto* i0 = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(raw.data() + 40);
  auto* i1 = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(raw.data() + 88);
  i0->Length = 48;
  i0->NumberOfPipes = 1;
  i1->Length = 24;
  i1->InterfaceNumber = 1;
  return raw;
}

class UsbBusTest : public fake::UsbTest {
 protected:
  fake::Camera camera{fake::CameraConfiguration()};
  host::UsbBus bus{&camera};
};

TEST_F(UsbBusTest, MalformedControlUrbsAndWrongIoctlsNeverReachTheDevice) {
  uint8_t buffer[18];
  URB good = Descriptor(buffer, 18);
  EXPECT_EQ(Send(bus, &good), STATUS_SUCCESS);
  EXPECT_EQ(good.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(good.UrbControlDescriptorRequest.TransferBufferLength, 18u);
  URB bad[5] = {Descriptor(buffer, 18), Descriptor(nullptr, 18), Descriptor(buffer, 18), Descriptor(buffer, 0x10000),
                Descriptor(buffer, 18)};
  bad[0].UrbHeader.Length = 128;
  bad[2].UrbControlDescriptorRequest.TransferBufferMDL = buffer;
  bad[4].UrbHeader.Function = 0x7F;
  for (URB& u : bad) {
    EXPECT_EQ(Send(bus, &u), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(u.UrbHeader.Status, &u == &bad[4] ? USBD_STATUS_INVALID_URB_FUNCTION : USBD_STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(bus.Rejected(), 5u);
  URB vendor{};
  auto& v = vendor.UrbControlVendorClassRequest;
  v.Hdr.Length = sizeof v;
  v.Hdr.Function = URB_FUNCTION_VENDOR_ENDPOINT;
  v.TransferFlags = 0x80;  // not a transfer flag
  EXPECT_EQ(Send(bus, &vendor), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bus.Count(UsbRequestKind::Vendor), 0u);
  EXPECT_EQ(Send(bus, &good, 0x220007), STATUS_INVALID_DEVICE_REQUEST) << "not the URB ioctl";
  EXPECT_EQ(bus.DeviceRequests(), 1u) << "nothing malformed reaches the device";
}

TEST_F(UsbBusTest, SelectionsMustDescribeEveryInterfaceExactlyAndNameTheCurrentConfiguration) {
  const auto& cfg = camera.config_;
  // A pipe interface 1 does not have (the block sized for it), interface
  // listed twice, no such alternate setting, an interface missing, a URB
  // length short of its interfaces.
  for (int b = 0; b < 5; ++b) {
    auto bad = SelectConfigurationUrb(cfg);
    if (b == 0) bad.resize(bad.size() + 24);
    auto* i = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(bad.data() + 88);
    auto& length = reinterpret_cast<URB*>(bad.data())->UrbHeader.Length;
    if (b == 0) i->NumberOfPipes = 1, i->Length = 48, length = USHORT(bad.size());
    if (b == 1) i->InterfaceNumber = 0;
    if (b == 2) i->AlternateSetting = 9;
    if (b >= 3) length = b == 3 ? 88 : 100;
    if (b == 3) bad.resize(88);
    EXPECT_EQ(Send(bus, reinterpret_cast<URB*>(bad.data())), STATUS_INVALID_PARAMETER) << b;
    EXPECT_EQ(bus.DeviceRequests(), 0u) << b;
  }
  auto raw = SelectConfigurationUrb(cfg);
  ASSERT_EQ(Send(bus, reinterpret_cast<URB*>(raw.data())), STATUS_SUCCESS) << bus.LastRejectionReason();
  EXPECT_EQ(reinterpret_cast<URB*>(raw.data())->UrbSelectConfiguration.ConfigurationHandle, bus.ConfigurationHandle());
  auto* i0 = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(raw.data() + 40);
  EXPECT_EQ(i0->Class, 14);
  EXPECT_EQ(i0->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(i0->Pipes[0].EndpointAddress, 0x83);
  EXPECT_TRUE(bus.PipeHandleValid(i0->Pipes[0].PipeHandle));
  auto bad = SelectConfigurationUrb(cfg);
  reinterpret_cast<USBD_INTERFACE_INFORMATION*>(bad.data() + 40)->NumberOfPipes = 2;
  EXPECT_EQ(Send(bus, reinterpret_cast<URB*>(bad.data())), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(bus.PipeHandleValid(i0->Pipes[0].PipeHandle)) << "a refused selection keeps the current pipes";

  // Select interface, one pipe: 56 + 24 bytes, in a block as large as the URB
  // union so that the union's members can be named.
  std::vector<uint8_t> block(std::max<size_t>(56 + 24, sizeof(URB)));
  auto& si = reinterpret_cast<URB*>(block.data())->UrbSelectInterface;
  si.Hdr.Length = USHORT(56 + 24);
  si.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
  si.ConfigurationHandle = reinterpret_cast<PVOID>(0x99);
  si.Interface.Length = 48;
  si.Interface.InterfaceNumber = 1;
  si.Interface.AlternateSetting = 2;
  si.Interface.NumberOfPipes = 1;
  URB* u = reinterpret_cast<URB*>(block.data());
  EXPECT_EQ(Send(bus, u), STATUS_INVALID_PARAMETER);
  si.ConfigurationHandle = bus.ConfigurationHandle();
  ASSERT_EQ(Send(bus, u), STATUS_SUCCESS) << bus.LastRejectionReason();
  PVOID first = si.Interface.Pipes[0].PipeHandle;
  EXPECT_TRUE(bus.PipeHandleValid(first));
  EXPECT_EQ(si.Interface.Pipes[0].MaximumPacketSize, 512);
  // Selecting again replaces the interface's pipes: the old handle is stale.
  ASSERT_EQ(Send(bus, u), STATUS_SUCCESS);
  EXPECT_FALSE(bus.PipeHandleValid(first));
  EXPECT_EQ(camera.selections.back(), std::make_pair(uint8_t(1), uint8_t(2)));
}

}  // namespace
