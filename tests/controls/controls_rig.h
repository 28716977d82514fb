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
#include "client/camera.h"
#include "controls/camera_controls.h"
#include "controls/property_sets.h"
#include "driver/device_state.h"
#include "tests/camera/camera_test_util.h"
#include "tests/usb/camera_rig.h"
#include "usb/usb_bringup.h"
#include "usb/usb_request.h"

namespace ctl {

using rig::Interposer;
using rig::Prop;
using rig::Setups;

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
    controls.engine = engine, controls.state = state, controls.effects = state;
    controls.softwareStillRequest = &state->softwareStillRequest;
    controls.buttonLatch = &state->buttonLatch, controls.buttonPolled = &state->buttonPolled;
    start = bus.ControlLog().size();
    rangeStatus = BuildControlRanges(engine, &controls.units, state);
    rangeReads = Sent();
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

constexpr ULONG kGet = KSPROPERTY_TYPE_GET, kSet = KSPROPERTY_TYPE_SET;
constexpr ULONG kAuto = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO, kManual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;

// The driver started on a camera behind the interposer, one filter open.
struct Driver {
  explicit Driver(std::unique_ptr<camera::SimulatedCamera> sim = camera::DefaultSimulatedCamera(),
                  std::function<void(Interposer&)> prepare = nullptr) {
    auto m = std::make_unique<Interposer>(std::move(sim));
    model = m.get();
    if (prepare) prepare(*m);
    EXPECT_EQ(client::Camera::Plug(std::move(m), &cam), STATUS_SUCCESS);
    EXPECT_EQ(cam->Start(), STATUS_SUCCESS);
    EXPECT_EQ(cam->OpenFilter(&f), STATUS_SUCCESS);
    Sent();
  }
  Setups Sent() { return SentSince(cam->Bus(), &mark); }
  NTSTATUS Control(const GUID& set, ULONG id, ULONG type, LONG value, ULONG flags,
                   KSPROPERTY_VIDEOPROCAMP_S* out = nullptr) {
    KSPROPERTY_VIDEOPROCAMP_S r{};
    r.Property = Prop(set, id, type);
    r.Value = value, r.Flags = flags;
    ULONG got = 0;
    NTSTATUS s = f->Property(&r, sizeof r, &r, sizeof r, &got);
    if (out) *out = r;
    return s;
  }
  // A vendor item; `tail` is the caller buffer after the record.
  NTSTATUS Vendor(ULONG type, ULONG id, ULONG op, ULONG index = 0, ULONG value = 0,
                  std::vector<uint8_t>* tail = nullptr) {
    std::vector<uint8_t> data(sizeof(VendorControlRequest) + (tail ? tail->size() : 0));
    r = VendorControlRequest{};
    r.Property = Prop(kVendorControlSet, id, type);
    r.Operation = op, r.Index = index, r.Value = value;
    r.BufferAddress = 0xDEADBEEF;  // never dereferenced
    r.Result = r.Result2 = -12345;
    std::memcpy(data.data(), &r, sizeof r);
    if (tail) std::copy(tail->begin(), tail->end(), data.begin() + sizeof r);
    ULONG got = 0;
    NTSTATUS s = f->Property(&r, sizeof r, data.data(), ULONG(data.size()), &got);
    std::memcpy(&r, data.data(), sizeof r);
    if (tail) std::copy(data.begin() + sizeof r, data.end(), tail->begin());
    return s;
  }
  int64_t Current(uint8_t entity, uint8_t selector) { return CurrentOf(*model->cam, entity, selector); }
  std::unique_ptr<client::Camera> cam;
  client::Filter* f = nullptr;
  Interposer* model = nullptr;
  VendorControlRequest r{};
  size_t mark = 0;
};


}  // namespace ctl
