// uvccam: command-line program over the driver on a simulated camera.
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "camera/simulated_camera.h"
#include "client/camera.h"
#include "client/usb_host_camera.h"
#include "platform/host/host_control.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: uvccam <command> [options]\n"
               "commands:\n"
               "  formats     start the driver on the camera and list its formats and the\n"
               "              capture and still pins' data ranges\n"
               "  help        show this text\n"
               "\n"
               "camera options (every command):\n"
               "  --profile FILE      simulated camera from a JSON profile\n"
               "  --descriptors FILE  simulated camera answering for a descriptor dump\n"
               "                      (device descriptor, then configuration descriptor)\n"
               "  --full-speed        make a descriptor dump enumerate at full speed\n"
               "Without --profile or --descriptors the built-in camera is used.\n"
               "\n"
               "formats options:\n"
               "  --json              print one JSON object instead of text\n");
}

// Options that choose the camera, shared by every command.
struct CameraOptions {
  std::string profile;
  std::string descriptors;
  bool fullSpeed = false;
};

// Takes argv[*i] (and its value) when it is a camera option; false otherwise.
bool ParseCameraOption(int argc, char** argv, int* i, CameraOptions* o) {
  std::string a = argv[*i];
  if ((a == "--profile" || a == "--descriptors") && *i + 1 < argc) {
    (a == "--profile" ? o->profile : o->descriptors) = argv[++*i];
    return true;
  }
  if (a == "--full-speed") {
    o->fullSpeed = true;
    return true;
  }
  return false;
}

// Checks the combination; prints the usage error and returns false.
bool CheckCameraOptions(const char* command, const CameraOptions& o) {
  if (!o.profile.empty() && !o.descriptors.empty()) {
    std::fprintf(stderr, "uvccam %s: --profile and --descriptors exclude each other\n", command);
    return false;
  }
  if (o.fullSpeed && o.descriptors.empty()) {
    std::fprintf(stderr, "uvccam %s: --full-speed applies to --descriptors only\n", command);
    return false;
  }
  return true;
}

std::unique_ptr<host::UsbDeviceModel> MakeCamera(const CameraOptions& o, std::string* error) {
  if (!o.profile.empty()) return camera::CameraFromProfileFile(o.profile, error);
  if (!o.descriptors.empty()) return camera::CameraFromDescriptorFile(o.descriptors, o.fullSpeed, error);
  return camera::DefaultCamera();
}

int Formats(int argc, char** argv) {
  bool json = false;
  CameraOptions camOptions;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (ParseCameraOption(argc, argv, &i, &camOptions)) continue;
    if (a == "--json") {
      json = true;
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "uvccam formats: unknown or incomplete option '%s'\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (!CheckCameraOptions("formats", camOptions)) return 2;
  std::string error;
  std::unique_ptr<host::UsbDeviceModel> model = MakeCamera(camOptions, &error);
  std::unique_ptr<host::UsbDeviceModel> second = model ? MakeCamera(camOptions, &error) : nullptr;
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
  char status[64];
  std::snprintf(status, sizeof status, "0x%08X", unsigned(s));
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help")) {
    Usage(stdout);
    return 0;
  }
  if (!std::strcmp(argv[1], "formats")) return Formats(argc - 2, argv + 2);
  std::fprintf(stderr, "uvccam: unknown command '%s'\n", argv[1]);
  Usage(stderr);
  return 2;
}
