// The synchronous request path: refusals, both completion paths, the device
// mutex, and the control requests built on it.
#include "tests/usb/fake_camera.h"
#include "usb/configuration.h"
#include "usb/usb_request.h"

namespace {

using fake::Rig;
using fake::UsbTest;
using host::UsbRequestKind;

class RequestTest : public UsbTest {};

TEST_F(RequestTest, RefusesWithoutSendingWhileRemovedWithoutDeviceOrOutsideD0) {
  Rig rig;
  UCHAR buffer[26] = {};
  auto expectRefused = [&](const char* why) {
    EXPECT_EQ(ClassRequest(rig.engine, GET_CUR, 0x0100, 1, buffer, 26, TRUE), STATUS_UNSUCCESSFUL) << why;
    USB_DEVICE_DESCRIPTOR dd;
    EXPECT_EQ(GetDeviceDescriptor(rig.engine, &dd), STATUS_UNSUCCESSFUL) << why;
    EXPECT_EQ(ReadConfiguration(rig.engine), STATUS_UNSUCCESSFUL) << why;
    EXPECT_EQ(rig.bus.DeviceRequests(), 0u) << why;
    EXPECT_EQ(rig.bus.Rejected(), 0u) << why << ": nothing may even reach the bus";
    EXPECT_EQ(host::KsDeviceMutexDepth(rig.device), 0) << why;
  };
  rig.engine->removed = 1;
  expectRefused("removed");
  rig.engine->removed = 0;
  for (DEVICE_POWER_STATE s : {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3}) {
    rig.device->DevicePowerState = s;
    expectRefused("not in D0");
  }
  rig.device->DevicePowerState = PowerDeviceD0;
  KSDEVICE* device = rig.engine->device;
  rig.engine->device = nullptr;
  expectRefused("no device");
  rig.engine->device = device;
  // And the same engine works once the conditions are gone.
  EXPECT_EQ(ClassRequest(rig.engine, GET_CUR, 0x0100, 1, buffer, 26, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(rig.bus.DeviceRequests(), 1u);
}

TEST_F(RequestTest, SynchronousAndPendingCompletionGiveTheSameResults) {
  for (auto mode : {host::UsbCompletionMode::Synchronous, host::UsbCompletionMode::Pending}) {
    Rig rig;
    rig.bus.SetCompletionMode(mode);
    USB_DEVICE_DESCRIPTOR dd;
    ASSERT_EQ(GetDeviceDescriptor(rig.engine, &dd), STATUS_SUCCESS);
    EXPECT_EQ(dd.idVendor, 0x1234);
    EXPECT_EQ(dd.idProduct, 0x5678);
    // A stalled request fails the same way on both paths.
    UCHAR b[4];
    EXPECT_EQ(VendorRequest(rig.engine, 0x42, 0, 0, b, 4, TRUE), STATUS_UNSUCCESSFUL);
    ULONG hs = 0;
    EXPECT_EQ(QueryHighSpeed(rig.engine, &hs), STATUS_SUCCESS);
    EXPECT_EQ(hs, 1u);
    EXPECT_EQ(rig.bus.PendingReturned(), mode == host::UsbCompletionMode::Pending ? 3u : 0u);
    EXPECT_EQ(rig.bus.BusInterfaceReferences(), 0) << "the interface reference must be given back";
    EXPECT_EQ(host::KsDeviceMutexAcquisitions(rig.device), 2u) << "each URB under the device mutex";
  }
}

TEST_F(RequestTest, NoIrpMeansInsufficientResourcesAndTheMutexIsReleased) {
  Rig rig;
  host::PoolFailTag(kHostIrpTag);
  UCHAR b[2];
  ULONG n = 0;
  URB urb{};
  urb.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  EXPECT_EQ(SubmitUrb(rig.engine, &urb), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(GetConfigurationDescriptor(rig.engine, b, 2, &n), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(host::KsDeviceMutexDepth(rig.device), 0);
  ULONG hs = 7;
  EXPECT_EQ(QueryHighSpeed(rig.engine, &hs), STATUS_NO_MEMORY);
  EXPECT_EQ(hs, 7u);
  host::PoolFailTag(0);
  EXPECT_EQ(rig.bus.DeviceRequests(), 0u);
}

TEST_F(RequestTest, UnitAndVendorRequestSetupPackets) {
  Rig rig;
  UCHAR value[2] = {0x34, 0x12};
  EXPECT_EQ(UnitRequest(rig.engine, SET_CUR, 2, 3, value, 2, FALSE), STATUS_UNSUCCESSFUL)
      << "the fixture stalls unit requests";
  UCHAR out[2];
  UnitRequest(rig.engine, GET_DEF, 4, 5, out, 2, TRUE);
  UCHAR b[3] = {1, 2, 3};
  VendorRequest(rig.engine, 0x10, 0xABCD, 0x0002, b, 3, FALSE);
  VendorRequest(rig.engine, 0x11, 0x0001, 0x0003, b, 3, TRUE);
  auto log = rig.bus.ControlLog();
  ASSERT_EQ(log.size(), 4u);
  // Vendor requests go to the endpoint recipient.
  EXPECT_EQ(log[2].bmRequestType, 0x42);
  EXPECT_EQ(log[2].wValue, 0xABCD);
  EXPECT_EQ(log[2].wIndex, 0x0002);
  EXPECT_EQ(log[3].bmRequestType, 0xC2);
  EXPECT_EQ(log[0].bmRequestType, 0x21);
  EXPECT_EQ(log[0].bRequest, SET_CUR);
  EXPECT_EQ(log[0].wValue, 0x0200);
  EXPECT_EQ(log[0].wIndex, 0x0300);
  EXPECT_EQ(log[0].wLength, 2);
  EXPECT_EQ(log[1].bmRequestType, 0xA1);
  EXPECT_EQ(log[1].wValue, 0x0400);
  EXPECT_EQ(log[1].wIndex, 0x0500);
}

TEST_F(RequestTest, StringDescriptorIsReadInTwoStepsAndConverted) {
  Rig rig;
  rig.camera.strings_[2] = fake::Utf16Descriptor("Cam\xE9ra 9");  // one non-ASCII character
  CHAR text[kStringTextSize];
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(GetStringDescriptor(rig.engine, 2, text), STATUS_SUCCESS);
  EXPECT_STREQ(text, "Cam?ra 9");
  auto log = rig.bus.ControlLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].wValue, 0x0302);
  EXPECT_EQ(log[0].wIndex, 0x0409);
  EXPECT_EQ(log[0].wLength, 4);
  EXPECT_EQ(log[1].wLength, 2 + 2 * 8);
  EXPECT_EQ(host::PoolStats(kTagRequest).outstanding, 0u);
  EXPECT_GE(host::PoolStats(kTagRequest).allocations, 3u) << "request blocks are tagged KVIR";
}

TEST_F(RequestTest, StringDescriptorSurvivesLyingAndShortReplies) {
  Rig rig;
  CHAR text[kStringTextSize];
  // bLength claims 200 bytes but only 10 come back: only those are text.
  rig.camera.strings_[1] = {200, 3, 'A', 0, 'B', 0, 'C', 0, 'D', 0};
  ASSERT_EQ(GetStringDescriptor(rig.engine, 1, text), STATUS_SUCCESS);
  EXPECT_STREQ(text, "ABCD");
  // Odd length: the dangling byte is not half a character.
  rig.camera.strings_[1] = {7, 3, 'H', 0, 'i', 0, '!'};
  ASSERT_EQ(GetStringDescriptor(rig.engine, 1, text), STATUS_SUCCESS);
  EXPECT_STREQ(text, "Hi");
  // A header that cannot be a descriptor, and a one-byte reply.
  rig.camera.strings_[1] = {1, 3, 'A', 0};
  EXPECT_EQ(GetStringDescriptor(rig.engine, 1, text), STATUS_UNSUCCESSFUL);
  rig.camera.strings_[1] = {9};
  EXPECT_EQ(GetStringDescriptor(rig.engine, 1, text), STATUS_UNSUCCESSFUL);
  EXPECT_STREQ(text, "");
  // A stalled string request fails with the request's status.
  EXPECT_EQ(GetStringDescriptor(rig.engine, 9, text), STATUS_UNSUCCESSFUL);
}

TEST_F(RequestTest, BusWithoutTheInterfaceCountsAsFullSpeed) {
  Rig rig;
  rig.bus.SetBusInterfaceAvailable(false);
  ULONG hs = 0;
  EXPECT_EQ(QueryHighSpeed(rig.engine, &hs), STATUS_SUCCESS);
  EXPECT_EQ(hs, 0u);
  rig.bus.SetCompletionMode(host::UsbCompletionMode::Pending);
  hs = 0;
  EXPECT_EQ(QueryHighSpeed(rig.engine, &hs), STATUS_SUCCESS);
  EXPECT_EQ(hs, 0u);
  fake::Rig full(fake::CameraConfiguration(), false);
  hs = 1;
  EXPECT_EQ(QueryHighSpeed(full.engine, &hs), STATUS_SUCCESS);
  EXPECT_EQ(hs, 0u);
}

TEST_F(RequestTest, ResetPipeNeedsAPipeOfTheCurrentConfiguration) {
  Rig rig;
  ASSERT_EQ(ReadConfiguration(rig.engine), STATUS_SUCCESS);
  ASSERT_EQ(SelectConfiguration(rig.engine, rig.engine->configuration, rig.engine->configurationLength),
            STATUS_SUCCESS);
  ASSERT_TRUE(rig.engine->hasInterruptPipe);
  EXPECT_EQ(ResetPipe(rig.engine, rig.engine->interruptPipe), STATUS_SUCCESS);
  EXPECT_EQ(rig.bus.Count(UsbRequestKind::ResetPipe), 1u);
  EXPECT_EQ(ResetPipe(rig.engine, reinterpret_cast<USBD_PIPE_HANDLE>(0x1234)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(rig.bus.LastRejection(), USBD_STATUS_INVALID_PIPE_HANDLE);
  EXPECT_EQ(rig.bus.Count(UsbRequestKind::ResetPipe), 1u);
}

}  // namespace
