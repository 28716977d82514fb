// A simulated camera on the bus stand-in, brought up as device start does,
// with a zero-filled DeviceState and the control ranges read. The camera
// sits behind an interposer that lets a test fail or shorten chosen replies.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "camera/simulated_camera.h"
#include "controls/camera_controls.h"
#include "driver/device_state.h"
#include "tests/usb/camera_rig.h"
#include "usb/usb_bringup.h"
#include "usb/usb_request.h"

namespace ctl {

using rig::Setups;

using rig::Interposer;

inline std::unique_ptr<camera::SimulatedCamera> ProfileCamera(const nlohmann::json& profile) {
  std::string error;
  auto cam = camera::SimulatedCameraFromProfile(profile.dump(), &error);
  EXPECT_TRUE(cam) << error;
  return cam;
}
inline nlohmann::json DefaultProfile() { return nlohmann::json::parse(camera::DefaultProfileJson()); }

// The setup packets a bus saw after `*mark`; moves the mark to the end.
inline Setups SentSince(const host::UsbBus& bus, size_t* mark) {
  Setups all = rig::SetupsOf(bus);
  Setups out(all.begin() + long(*mark), all.end());
  *mark = all.size();
  return out;
}
// The camera's current value of a unit control.
inline int64_t CurrentOf(camera::SimulatedCamera& cam, uint8_t entity, uint8_t selector) {
  int64_t v = 0;
  EXPECT_TRUE(cam.ControlCurrentInt(entity, selector, &v));
  return v;
}

struct Rig : rig::RigOf<std::unique_ptr<Interposer>> {
  explicit Rig(std::unique_ptr<camera::SimulatedCamera> cam = camera::DefaultSimulatedCamera(),
               std::function<void(Interposer&)> prepare = nullptr)
      : RigOf(std::make_unique<Interposer>(std::move(cam))), model(*camera),
        state(static_cast<DeviceState*>(std::calloc(1, sizeof(DeviceState)))) {
    if (prepare) prepare(model);
    UsbBringUpStep step = kBringUpNone;
    EXPECT_EQ(BringUpUsb(engine, &step), STATUS_SUCCESS) << BringUpStepName(step);
    controls.engine = engine;
    controls.state = state;
    controls.effects = state;
    controls.softwareStillRequest = &state->softwareStillRequest;
    controls.buttonLatch = &state->buttonLatch;
    controls.buttonPolled = &state->buttonPolled;
    size_t before = bus.ControlLog().size();
    rangeStatus = BuildControlRanges(engine, &controls.units, state);
    Setups all = rig::SetupsOf(bus);
    rangeReads.assign(all.begin() + long(before), all.end());
    start = all.size();
  }
  ~Rig() { std::free(state); }
  // The setup packets sent since the rig came up (or since the last call).
  Setups Sent() { return SentSince(bus, &start); }
  camera::SimulatedCamera& cam() { return *model.cam; }
  int64_t Current(uint8_t entity, uint8_t selector) { return CurrentOf(cam(), entity, selector); }

  Interposer& model;
  DeviceState* state;
  CameraControls controls{};
  NTSTATUS rangeStatus = STATUS_UNSUCCESSFUL;
  Setups rangeReads;  // what BuildControlRanges sent
  size_t start = 0;
};

// Class requests to the video-control interface (number 0 on the simulated
// cameras): SET_CUR and device-to-host.
inline std::array<int, 5> SetCur(int unit, int selector, int length) {
  return {0x21, 0x01, selector << 8, unit << 8, length};
}

class ControlsTest : public rig::UsbTest {};

}  // namespace ctl
