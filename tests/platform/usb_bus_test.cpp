// The bus stand-in's checks: a malformed URB is refused before it reaches
// the device, and the refusal is counted.
#include <algorithm>
#include <gtest/gtest.h>

#include "tests/usb/fake_camera.h"

namespace {

using host::UsbRequestKind;

NTSTATUS Send(host::UsbBus& bus, URB* urb) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus.DeviceObject(), nullptr,
                                           0, nullptr, 0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS s = IofCallDriver(bus.DeviceObject(), irp);
  if (s == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    s = iosb.Status;
  }
  return s;
}

URB Descriptor(void* buffer, ULONG length) {
  URB u{};
  u.UrbControlDescriptorRequest.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  u.UrbControlDescriptorRequest.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  u.UrbControlDescriptorRequest.TransferBuffer = buffer;
  u.UrbControlDescriptorRequest.TransferBufferLength = length;
  u.UrbControlDescriptorRequest.DescriptorType = 1;
  return u;
}

// A select-configuration URB for the fixture camera: interface 0 (one
// pipe) and interface 1 at alternate setting 0 (no pipe).
std::vector<uint8_t> SelectConfigurationUrb(const std::vector<uint8_t>& cfg) {
  std::vector<uint8_t> raw(40 + 48 + 24);
  auto* u = reinterpret_cast<URB*>(raw.data());
  u->UrbSelectConfiguration.Hdr.Length = USHORT(raw.size());
  u->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  u->UrbSelectConfiguration.ConfigurationDescriptor =
      reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t*>(cfg.data()));
  auto* i0 = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(raw.data() + 40);
  i0->Length = 48;
  i0->InterfaceNumber = 0;
  i0->NumberOfPipes = 1;
  auto* i1 = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(raw.data() + 88);
  i1->Length = 24;
  i1->InterfaceNumber = 1;
  return raw;
}

class UsbBusTest : public fake::UsbTest {
 protected:
  fake::Camera camera{fake::CameraConfiguration()};
  host::UsbBus bus{&camera};
};

TEST_F(UsbBusTest, ControlUrbChecks) {
  uint8_t buffer[18];
  URB good = Descriptor(buffer, 18);
  EXPECT_EQ(Send(bus, &good), STATUS_SUCCESS);
  EXPECT_EQ(good.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(good.UrbControlDescriptorRequest.TransferBufferLength, 18u);

  URB badLength = Descriptor(buffer, 18);
  badLength.UrbHeader.Length = 128;
  URB noBuffer = Descriptor(nullptr, 18);
  URB mdl = Descriptor(buffer, 18);
  mdl.UrbControlDescriptorRequest.TransferBufferMDL = buffer;
  URB huge = Descriptor(buffer, 0x10000);
  URB unknown = Descriptor(buffer, 18);
  unknown.UrbHeader.Function = 0x7F;
  for (URB* u : {&badLength, &noBuffer, &mdl, &huge}) {
    EXPECT_EQ(Send(bus, u), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(Send(bus, &unknown), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(unknown.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
  EXPECT_EQ(bus.Rejected(), 5u);
  EXPECT_EQ(bus.DeviceRequests(), 1u) << "nothing malformed reaches the device";

  URB vendor{};
  auto& v = vendor.UrbControlVendorClassRequest;
  v.Hdr.Length = sizeof v;
  v.Hdr.Function = URB_FUNCTION_VENDOR_ENDPOINT;
  v.TransferFlags = 0x80;  // not a transfer flag
  EXPECT_EQ(Send(bus, &vendor), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bus.Count(UsbRequestKind::Vendor), 0u);
}

TEST_F(UsbBusTest, WrongIoctlIsRefused) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(0x220007, bus.DeviceObject(), nullptr, 0, nullptr, 0, TRUE,
                                           &event, &iosb);
  EXPECT_EQ(IofCallDriver(bus.DeviceObject(), irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(bus.DeviceRequests(), 0u);
}

TEST_F(UsbBusTest, SelectConfigurationMustDescribeEveryInterfaceExactly) {
  const auto& cfg = camera.config_;
  auto raw = SelectConfigurationUrb(cfg);
  EXPECT_EQ(Send(bus, reinterpret_cast<URB*>(raw.data())), STATUS_SUCCESS) << bus.LastRejectionReason();
  auto* u = reinterpret_cast<URB*>(raw.data());
  EXPECT_NE(u->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  auto* i0 = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(raw.data() + 40);
  EXPECT_EQ(i0->Class, 14);
  EXPECT_EQ(i0->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(i0->Pipes[0].EndpointAddress, 0x83);
  EXPECT_TRUE(bus.PipeHandleValid(i0->Pipes[0].PipeHandle));

  struct Break {
    const char* what;
    void (*apply)(std::vector<uint8_t>&);
  };
  const Break breaks[] = {
      {"pipe count", [](std::vector<uint8_t>& r) {
         reinterpret_cast<USBD_INTERFACE_INFORMATION*>(r.data() + 40)->NumberOfPipes = 2; }},
      {"interface listed twice", [](std::vector<uint8_t>& r) {
         reinterpret_cast<USBD_INTERFACE_INFORMATION*>(r.data() + 88)->InterfaceNumber = 0; }},
      {"no such alternate setting", [](std::vector<uint8_t>& r) {
         reinterpret_cast<USBD_INTERFACE_INFORMATION*>(r.data() + 88)->AlternateSetting = 9; }},
      {"interface missing", [](std::vector<uint8_t>& r) {
         r.resize(88);
         reinterpret_cast<URB*>(r.data())->UrbHeader.Length = 88; }},
      {"runs past the URB", [](std::vector<uint8_t>& r) {
         reinterpret_cast<URB*>(r.data())->UrbHeader.Length = 100; }},
  };
  for (const Break& b : breaks) {
    auto bad = SelectConfigurationUrb(cfg);
    b.apply(bad);
    bus.ResetCounters();
    EXPECT_EQ(Send(bus, reinterpret_cast<URB*>(bad.data())), STATUS_INVALID_PARAMETER) << b.what;
    EXPECT_EQ(bus.DeviceRequests(), 0u) << b.what;
  }
  // The earlier configuration's pipes are still the current ones.
  EXPECT_TRUE(bus.PipeHandleValid(i0->Pipes[0].PipeHandle));
}

TEST_F(UsbBusTest, SelectInterfaceNeedsTheCurrentConfigurationHandle) {
  auto raw = SelectConfigurationUrb(camera.config_);
  ASSERT_EQ(Send(bus, reinterpret_cast<URB*>(raw.data())), STATUS_SUCCESS);
  // One pipe: 56 + 24 bytes, in a block as large as the URB union so that
  // the union's members can be named.
  std::vector<uint8_t> si(std::max<size_t>(56 + 24, sizeof(URB)));
  auto* u = reinterpret_cast<URB*>(si.data());
  u->UrbSelectInterface.Hdr.Length = USHORT(56 + 24);
  u->UrbSelectInterface.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
  u->UrbSelectInterface.ConfigurationHandle = reinterpret_cast<PVOID>(0x99);
  u->UrbSelectInterface.Interface.Length = 48;
  u->UrbSelectInterface.Interface.InterfaceNumber = 1;
  u->UrbSelectInterface.Interface.AlternateSetting = 2;
  u->UrbSelectInterface.Interface.NumberOfPipes = 1;
  EXPECT_EQ(Send(bus, u), STATUS_INVALID_PARAMETER);
  u->UrbSelectInterface.ConfigurationHandle = bus.ConfigurationHandle();
  ASSERT_EQ(Send(bus, u), STATUS_SUCCESS) << bus.LastRejectionReason();
  PVOID first = u->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
  EXPECT_TRUE(bus.PipeHandleValid(first));
  EXPECT_EQ(u->UrbSelectInterface.Interface.Pipes[0].MaximumPacketSize, 512);
  // Selecting again replaces the interface's pipes: the old handle is stale.
  ASSERT_EQ(Send(bus, u), STATUS_SUCCESS);
  EXPECT_FALSE(bus.PipeHandleValid(first));
  EXPECT_EQ(camera.selections.back(), std::make_pair(uint8_t(1), uint8_t(2)));
}

}  // namespace
