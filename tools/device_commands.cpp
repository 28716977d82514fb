// The uvccam verbs that describe a camera rather than stream from it:
// `formats` (its tables and what the pins offer), `descriptors` (its
// descriptors as a dump file) and `overlays` (overlay art for its sizes).
#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "client/camera.h"
#include "client/usb_host_camera.h"
#include "platform/host/host_control.h"
#include "platform/host/usb_devices.h"
#include "tools/camera_options.h"
#include "tools/commands.h"
#include "tools/device_select.h"
#include "tools/overlay_art.h"

namespace tools {

namespace {

void FormatsUsage(FILE* out) {
  std::fprintf(out,
               "usage: uvccam formats [camera options] [--json]\n"
               "  brings the camera up as the driver does at device start and lists its\n"
               "  formats, then the capture and still pins' data ranges\n"
               "  --json              print one JSON object instead of text\n\n%s",
               kCameraOptionsUsage);
}

void DescriptorsUsage(FILE* out) {
  std::fprintf(out,
               "usage: uvccam descriptors [camera options] --output FILE\n"
               "  writes the camera's descriptors as Linux shows them in\n"
               "  /sys/bus/usb/devices/<device>/descriptors (the device descriptor, then\n"
               "  the configuration descriptor): a dump --descriptors reads back\n"
               "  --output FILE       where the dump goes (required)\n\n%s",
               kCameraOptionsUsage);
}

void OverlaysUsage(FILE* out) {
  std::fprintf(out,
               "usage: uvccam overlays [camera options]\n"
               "  draws the overlay bitmaps for every overlay and every frame size of the\n"
               "  simulated cameras into the state folder\n\n%s",
               kCameraOptionsUsage);
}

int Fail(const char* command, const std::string& error) {
  std::fprintf(stderr, "uvccam %s: %s\n", command, error.c_str());
  return 1;
}

}  // namespace

int FormatsCommand(int argc, char** argv) {
  bool json = false;
  CameraOptions camOptions;
  if (int rc = ParseCommandOptions("formats", argc, argv, &camOptions, {Flag("--json", &json)}, FormatsUsage))
    return rc < 0 ? 0 : rc;
  std::string error;
  if (!UseStateFolder(camOptions, &error)) return Fail("formats", error);
  // The camera's own tables, as the USB bring-up finds them, on a camera
  // of its own (a real one is opened twice, one after the other).
  std::unique_ptr<client::HostUsbCamera> usb;
  if (UsesDevice(camOptions)) {
    host::UsbDeviceSelector selector;
    if (host::ParseUsbDeviceSelector(camOptions.device, &selector, &error)) {
      std::unique_ptr<host::LowerDevice> lower = host::OpenUsbCamera(selector, camOptions.detach, &error);
      if (lower) usb.reset(new client::HostUsbCamera(std::move(lower)));
    }
  } else if (std::unique_ptr<host::UsbDeviceModel> model = MakeCamera(camOptions, &error)) {
    usb.reset(new client::HostUsbCamera(std::move(model)));
  }
  if (!usb) return Fail("formats", error.empty() ? "no camera" : error);
  // A simulated camera needs no settling time: run the host clock fast
  // through the start-up delays.
  host::SetClockRate(StartClockRate(camOptions));
  client::BringUpResult r = usb->BringUp();
  if (!r.ok()) return Fail("formats", client::BringUpFailureText(r));
  const std::string tablesJson = client::FormatsJson(*usb->Engine());
  const std::string tablesText = client::FormatsText(*usb->Engine());
  usb.reset();
  // What the pins offer, through the driver. A camera that brings up but
  // does not start keeps its bring-up listing.
  std::unique_ptr<client::Camera> cam;
  camera::SimulatedCamera* simulated = nullptr;
  NTSTATUS s = STATUS_UNSUCCESSFUL;
  const bool plugged = PlugCamera(camOptions, &cam, &simulated, &error);
  if (!plugged && UsesDevice(camOptions)) return Fail("formats", error);
  if (plugged) s = cam->Start();
  client::Filter* filter = nullptr;
  if (NT_SUCCESS(s)) s = cam->OpenFilter(&filter);
  std::vector<client::PinInfo> pins;
  if (filter) pins = filter->Pins();
  const std::string status = StatusText(s);
  if (json) {
    auto j = nlohmann::ordered_json::parse(tablesJson);
    if (filter) {
      auto ranges = nlohmann::ordered_json::parse(client::RangesJson(pins));
      for (auto& item : ranges.items()) j[item.key()] = item.value();
    } else {
      j["driverStartStatus"] = status;
    }
    std::fputs((j.dump(2) + "\n").c_str(), stdout);
  } else {
    std::string out = tablesText;
    out += filter ? client::RangesText(pins)
                  : std::string("\nthe driver did not start (status ") + status + "): no pins\n";
    std::fputs(out.c_str(), stdout);
  }
  return 0;
}

int DescriptorsCommand(int argc, char** argv) {
  CameraOptions camOptions;
  std::string output;
  if (int rc = ParseCommandOptions("descriptors", argc, argv, &camOptions, {Value("--output", &output)},
                                   DescriptorsUsage))
    return rc < 0 ? 0 : rc;
  if (output.empty()) {
    std::fprintf(stderr, "uvccam descriptors: --output FILE is required\n");
    return 2;
  }
  std::string error;
  std::vector<uint8_t> dump;
  if (UsesDevice(camOptions)) {
    // A real camera's descriptors, read from the device.
    if (!ReadDeviceDescriptors(camOptions, &dump, &error)) return Fail("descriptors", error);
  } else {
    std::unique_ptr<host::UsbDeviceModel> model = MakeCamera(camOptions, &error);
    if (!model) return Fail("descriptors", error.empty() ? "no camera" : error);
    dump = model->DeviceDescriptor();
    const std::vector<uint8_t>& configuration = model->ConfigurationDescriptor();
    dump.insert(dump.end(), configuration.begin(), configuration.end());
  }
  // The device descriptor's own length leads the dump.
  const size_t deviceBytes = dump.empty() ? 0 : std::min<size_t>(dump[0], dump.size());
  FILE* file = std::fopen(output.c_str(), "wb");
  if (file == nullptr) return Fail("descriptors", "cannot write " + output + ": " + std::strerror(errno));
  const bool written = std::fwrite(dump.data(), 1, dump.size(), file) == dump.size() && std::fflush(file) == 0;
  const int reason = errno;
  if (std::fclose(file) != 0 || !written) {
    std::remove(output.c_str());
    return Fail("descriptors", "cannot write " + output + ": " + std::strerror(written ? errno : reason));
  }
  std::printf("%zu bytes of descriptors (device %zu, configuration %zu) -> %s\n", dump.size(), deviceBytes,
              dump.size() - deviceBytes, output.c_str());
  return 0;
}

int OverlaysCommand(int argc, char** argv) {
  CameraOptions camOptions;
  if (int rc = ParseCommandOptions("overlays", argc, argv, &camOptions, {}, OverlaysUsage))
    return rc < 0 ? 0 : rc;
  const std::string folder = StateFolderOf(camOptions);
  std::string error;
  const auto sizes = ProfileFrameSizes(UVCCAM_PROFILE_DIR, &error);
  const long written = sizes.empty() ? -1 : WriteOverlayArt(folder, sizes, &error);
  if (written < 0) return Fail("overlays", error.empty() ? "no frame sizes" : error);
  std::printf("%ld overlay bitmaps (%zu frame sizes) installed in %s\n", written, sizes.size(), folder.c_str());
  return 0;
}

}  // namespace tools
