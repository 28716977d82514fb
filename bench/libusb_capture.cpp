// CPU share of a 1280x720 MJPEG capture at 30 fps through libusb against
// the same capture through the bus stand-in, in the same run: the built-in
// camera plays one MJPEG frame over and over; below the driver sits either
// the bus stand-in or libusb driving the camera behind an emulated device
// node (umockdev). Process CPU time over the measured frames is set against
// their wall time. Also the time from opening the device to the first
// frame (what `uvccam capture --device` waits before its first frame).
// The libusb figure includes the node's emulation (a socket round trip per
// usbfs request, the camera answering in the test process), which a real
// device does in the kernel and the camera. Warm caches on both paths.
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "bench/pipeline_rig.h"
#include "camera/simulated_camera.h"
#include "camera/usbfs/emulated_node.h"
#include "client/camera.h"
#include "driver/device_context.h"
#include "platform/host/host_control.h"
#include "platform/host/host_files.h"
#include "platform/host/usb_devices.h"

namespace {

using namespace pipeline_rig;

const Route kRoute = {"mjpg1280x720_yuy2", 1280, 720, 1280, 720, kSubtypeYuy2};
constexpr int kWarmupFrames = 10;
constexpr int kMeasuredFrames = 90;  // 3 s at 30 fps
constexpr double kFps = 30.0;


struct Result {
  double share = 0;       // percent of one core
  double firstFrame = 0;  // seconds from opening to the first frame
};
std::map<std::string, Result> g_results;

bool TakeFrames(client::Pin* pin, ULONG bytes, int count) {
  for (int taken = 0; taken < count;) {
    host::KsCompletedFrame f;
    if (!pin->WaitFrame(5000, &f) || f.cancelled) return false;
    pin->QueueBuffer(bytes);
    if (f.header.DataUsed != 0) ++taken;
  }
  return true;
}

void Capture(benchmark::State& state, bool libusb) {
  Rig& g = GetRig(kRoute);
  const std::string folder = std::filesystem::temp_directory_path().string() + "/uvccam_bench_state";
  std::filesystem::create_directories(folder);
  host::SetStateFolder(folder);
  host::SetClockRate(1.0);  // real time throughout, as on a real camera
  for (auto _ : state) {
    auto model = camera::DefaultCamera();
    auto* sim = dynamic_cast<camera::SimulatedCamera*>(model.get());
    sim->SetPlayBytes(g.camera);
    std::unique_ptr<camera::EmulatedUsbNode> node;
    std::unique_ptr<client::Camera> cam;
    std::string error;
    NTSTATUS s = STATUS_UNSUCCESSFUL;
    if (libusb) node = camera::EmulatedUsbNode::Create(std::move(model), {}, &error);
    const double open0 = WallSeconds();  // the device is on the bus from here
    if (libusb) {
      host::UsbDeviceSelector selector;
      std::unique_ptr<host::LowerDevice> lower;
      if (node && host::ParseUsbDeviceSelector(node->Selector(), &selector, &error))
        lower = host::OpenUsbCamera(selector, false, &error);
      if (lower) s = client::Camera::PlugDevice(std::move(lower), &cam);
    } else {
      s = client::Camera::Plug(std::move(model), &cam);
    }
    client::Filter* filter = nullptr;
    client::Pin* pin = nullptr;
    std::vector<uint8_t> format;
    if (NT_SUCCESS(s)) s = cam->Start();
    if (NT_SUCCESS(s)) s = cam->OpenFilter(&filter);
    if (NT_SUCCESS(s)) s = filter->FormatFor(kCapturePinId, kRoute.ow, kRoute.oh, kRoute.out, &format);
    if (NT_SUCCESS(s)) s = filter->CreatePin(kCapturePinId, format, &pin);
    if (!NT_SUCCESS(s)) {
      state.SkipWithError(("the capture pin did not start: " + error).c_str());
      return;
    }
    const ULONG bytes = ULONG(kRoute.ow * kRoute.oh * 2);
    for (int i = 0; i < 3; ++i) pin->QueueBuffer(bytes);
    bool ok = NT_SUCCESS(pin->SetState(KSSTATE_RUN)) && TakeFrames(pin, bytes, 1);
    const double firstFrame = WallSeconds() - open0;
    ok = ok && TakeFrames(pin, bytes, kWarmupFrames);
    const double cpu0 = ProcessCpuSeconds(), wall0 = WallSeconds();
    ok = ok && TakeFrames(pin, bytes, kMeasuredFrames);
    const double cpu = ProcessCpuSeconds() - cpu0, wall = WallSeconds() - wall0;
    pin->SetState(KSSTATE_STOP);
    cam->Stop();
    cam.reset();
    node.reset();
    if (!ok) {
      state.SkipWithError("the capture pin delivered no frames");
      return;
    }
    state.SetIterationTime(wall);
    Result& r = g_results[libusb ? "libusb" : "bus"];
    r.share = cpu / wall * 100;
    r.firstFrame = firstFrame;
    state.counters["cpu_share_pct"] = r.share;
    state.counters["first_frame_s"] = firstFrame;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (!camera::EmulatedUsbNode::Available()) {
    std::printf("umockdev's preload library is not loaded: no libusb figure\n");
    return 0;
  }
  benchmark::RegisterBenchmark("capture_720p_mjpeg/bus_stand_in", Capture, false)
      ->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
  benchmark::RegisterBenchmark("capture_720p_mjpeg/libusb_emulated_node", Capture, true)
      ->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  auto bus = g_results.find("bus"), usb = g_results.find("libusb");
  if (bus != g_results.end() && usb != g_results.end() && bus->second.share > 0)
    std::printf("\n1280x720 MJPEG at 30 fps, CPU share of one core: bus stand-in %.1f%%, libusb %.1f%% "
                "(ratio %.2f)\nopening to first frame: bus stand-in %.2f s, libusb %.2f s\n",
                bus->second.share, usb->second.share, usb->second.share / bus->second.share,
                bus->second.firstFrame, usb->second.firstFrame);
  return 0;
}
