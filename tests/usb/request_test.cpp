// The synchronous request path: refusals, the device mutex, and the control
// requests built on it.
#include "tests/usb/camera_rig.h"
#include "usb/configuration.h"
#include "usb/usb_request.h"

namespace {

using namespace rig;
using host::UsbRequestKind;

class RequestTest : public rig::UsbTest {};

TEST_F(RequestTest, RefusesWithoutSendingWhileRemovedWithoutDeviceOrOutsideD0) {
  Rig rig;
  UCHAR buffer[26] = {};
  auto expectRefused = [&](const char* why) {
    EXPECT_EQ(ClassRequest(rig.engine, GET_CUR, 0x0100, 1, buffer, 26, TRUE), STATUS_UNSUCCESSFUL) << why;
    USB_DEVICE_DESCRIPTOR dd;
    EXPECT_EQ(GetDeviceDescriptor(rig.engine, &dd), STATUS_UNSUCCESSFUL) << why;
    EXPECT_EQ(ReadConfiguration(rig.engine), STATUS_UNSUCCESSFUL) << why;
    EXPECT_EQ(rig.bus.DeviceRequests() + rig.bus.Rejected(), 0u) << why << ": nothing may even reach the bus";
  };
  rig.engine->removed = 1;
  expectRefused("removed");
  rig.engine->removed = 0;
  for (DEVICE_POWER_STATE s : {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3}) {
    rig.device->DevicePowerState = s;
    expectRefused("not in D0");
  }
  rig.device->DevicePowerState = PowerDeviceD0;
  rig.engine->device = nullptr;
  expectRefused("no device");
  rig.engine->device = rig.device;
  // And the same engine works once the conditions are gone.
  EXPECT_EQ(ClassRequest(rig.engine, GET_CUR, 0x0100, 1, buffer, 26, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(rig.bus.DeviceRequests(), 1u);
}

TEST_F(RequestTest, NoIrpMeansInsufficientResourcesAndTheMutexIsReleased) {
  Rig rig;
  host::PoolFailTag(kHostIrpTag);
  UCHAR b[2];
  ULONG n = 0, hs = 7;
  URB urb{};
  urb.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  EXPECT_EQ(SubmitUrb(rig.engine, &urb), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(GetConfigurationDescriptor(rig.engine, b, 2, &n), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(QueryHighSpeed(rig.engine, &hs), STATUS_NO_MEMORY);
  EXPECT_EQ(hs, 7u);
  host::PoolFailTag(0);
  EXPECT_EQ(rig.bus.DeviceRequests(), 0u);
}

// The two-step read itself is in the bring-up's request sequence.
TEST_F(RequestTest, StringDescriptorsSurviveBadReplies) {
  Rig rig;
  Bytes reply;
  rig.model.hook = [&](const host::UsbSetupPacket& s, uint8_t* data, host::UsbControlResult* r) {
    if (s.wValue >> 8 != 3) return false;
    if (reply.empty()) return r->stalled = true;
    r->length = uint32_t(std::min<size_t>(s.wLength, reply.size()));
    return std::memcpy(data, reply.data(), r->length), true;
  };
  const struct {
    Bytes reply;
    NTSTATUS status;
    const char* text;
  } cases[] = {
      {{18, 3, 'C', 0, 'a', 0, 'm', 0, 0xE9, 0, 'r', 0, 'a', 0, ' ', 0, '9', 0}, STATUS_SUCCESS, "Cam?ra 9"},
      {{200, 3, 'A', 0, 'B', 0, 'C', 0, 'D', 0}, STATUS_SUCCESS, "ABCD"},  // claims 200, 10 come back
      {{7, 3, 'H', 0, 'i', 0, '!'}, STATUS_SUCCESS, "Hi"},  // the dangling byte is not half a character
      {{1, 3, 'A', 0}, STATUS_UNSUCCESSFUL, ""},            // cannot be a descriptor
      {{9}, STATUS_UNSUCCESSFUL, ""},                       // a one-byte reply
      {{}, STATUS_UNSUCCESSFUL, ""},                        // stalled
  };
  for (const auto& c : cases) {
    reply = c.reply;
    CHAR text[kStringTextSize];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(GetStringDescriptor(rig.engine, 1, text), c.status) << c.text;
    EXPECT_STREQ(text, c.text);
  }
  EXPECT_EQ(host::PoolStats(kTagRequest).outstanding, 0u);
  EXPECT_GE(host::PoolStats(kTagRequest).allocations, 3u) << "request blocks are tagged KVIR";
}

}  // namespace
