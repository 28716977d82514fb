// uvccam: command-line program over the driver on a simulated camera.
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "camera/simulated_camera.h"
#include "client/camera.h"
#include "client/usb_host_camera.h"
#include "platform/host/host_control.h"
#include "tools/camera_options.h"
#include "tools/commands.h"
#include "tools/overlay_art.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: uvccam <command> [options]\n"
               "commands:\n"
               "  capture     stream frames from the camera's capture pin into a file\n"
               "              (y4m, raw or MJPEG) with a summary\n"
               "  still       take one still through the still pin, saved as PNG\n"
               "  formats     start the driver on the camera and list its formats and the\n"
               "              capture and still pins' data ranges\n"
               "  controls    list the camera's controls, or --get NAME / --set NAME=VALUE\n"
               "              through the property sets (uvccam controls --help)\n"
               "  overlays    install the overlay bitmaps for every overlay and frame size\n"
               "              into the state folder\n"
               "  publish     offer the camera to every application as a PipeWire camera\n"
               "              until interrupted (uvccam publish --help)\n"
               "  help        show this text\n"
               "\n"
               "%s"
               "\n"
               "%s"
               "\n"
               "%s"
               "\n"
               "formats options:\n"
               "  --json              print one JSON object instead of text\n",
               tools::kCameraOptionsUsage, tools::kCaptureUsage, tools::kStillUsage);
}

int Formats(int argc, char** argv) {
  bool json = false;
  tools::CameraOptions camOptions;
  if (int rc = tools::ParseCommandOptions("formats", argc, argv, &camOptions, {{"--json", &json}}, {}, Usage))
    return rc < 0 ? 0 : rc;
  std::string error;
  if (!tools::UseStateFolder(camOptions, &error)) {
    std::fprintf(stderr, "uvccam formats: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<host::UsbDeviceModel> model = tools::MakeCamera(camOptions, &error);
  std::unique_ptr<host::UsbDeviceModel> second = model ? tools::MakeCamera(camOptions, &error) : nullptr;
  if (!model || !second) {
    std::fprintf(stderr, "uvccam formats: %s\n", error.empty() ? "no camera" : error.c_str());
    return 1;
  }
  // The simulated camera needs no settling time: run the host clock fast
  // through the start-up delays.
  host::SetClockRate(100.0);
  // The camera's own tables, as the USB bring-up finds them.
  client::HostUsbCamera usb(std::move(second));
  client::BringUpResult r = usb.BringUp();
  if (!r.ok()) {
    std::fprintf(stderr, "uvccam formats: %s\n", client::BringUpFailureText(r).c_str());
    return 1;
  }
  // What the pins offer, through the driver. A camera that brings up but
  // does not start keeps its bring-up listing.
  std::unique_ptr<client::Camera> cam;
  NTSTATUS s = client::Camera::Plug(std::move(model), &cam);
  if (NT_SUCCESS(s)) s = cam->Start();
  client::Filter* filter = nullptr;
  if (NT_SUCCESS(s)) s = cam->OpenFilter(&filter);
  std::vector<client::PinInfo> pins;
  if (filter) pins = filter->Pins();
  const std::string status = tools::StatusText(s);
  if (json) {
    auto j = nlohmann::ordered_json::parse(client::FormatsJson(*usb.Engine()));
    if (filter) {
      auto ranges = nlohmann::ordered_json::parse(client::RangesJson(pins));
      for (auto& item : ranges.items()) j[item.key()] = item.value();
    } else {
      j["driverStartStatus"] = status;
    }
    std::fputs((j.dump(2) + "\n").c_str(), stdout);
  } else {
    std::string out = client::FormatsText(*usb.Engine());
    out += filter ? client::RangesText(pins)
                  : std::string("\nthe driver did not start (status ") + status + "): no pins\n";
    std::fputs(out.c_str(), stdout);
  }
  return 0;
}

// `uvccam overlays`: draws the overlay art for every frame size of the
// simulated cameras into the state folder, where the driver looks for it.
int Overlays(int argc, char** argv) {
  tools::CameraOptions camOptions;
  if (int rc = tools::ParseCommandOptions("overlays", argc, argv, &camOptions, {}, {}, Usage))
    return rc < 0 ? 0 : rc;
  const std::string folder = tools::StateFolderOf(camOptions);
  std::string error;
  const auto sizes = tools::ProfileFrameSizes(UVCCAM_PROFILE_DIR, &error);
  const long written = sizes.empty() ? -1 : tools::WriteOverlayArt(folder, sizes, &error);
  if (written < 0) {
    std::fprintf(stderr, "uvccam overlays: %s\n", error.empty() ? "no frame sizes" : error.c_str());
    return 1;
  }
  std::printf("%ld overlay bitmaps (%zu frame sizes) installed in %s\n", written, sizes.size(),
              folder.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help")) {
    Usage(stdout);
    return 0;
  }
  if (!std::strcmp(argv[1], "capture")) return tools::CaptureCommand(argc - 2, argv + 2);
  if (!std::strcmp(argv[1], "still")) return tools::StillCommand(argc - 2, argv + 2);
  if (!std::strcmp(argv[1], "formats")) return Formats(argc - 2, argv + 2);
  if (!std::strcmp(argv[1], "controls")) return tools::ControlsCommand(argc - 2, argv + 2);
  if (!std::strcmp(argv[1], "overlays")) return Overlays(argc - 2, argv + 2);
  if (!std::strcmp(argv[1], "publish")) return tools::PublishCommand(argc - 2, argv + 2);
  std::fprintf(stderr, "uvccam: unknown command '%s'\n", argv[1]);
  Usage(stderr);
  return 2;
}
