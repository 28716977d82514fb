// `uvccam controls`: lists, reads and changes the camera's controls through
// the filter's property sets; settings persist in the state folder as the
// driver persists them.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "client/camera.h"
#include "platform/host/host_control.h"
#include "tools/camera_options.h"
#include "tools/commands.h"
#include "tools/control_settings.h"
#include "tools/live_link.h"

namespace tools {

namespace {

void ControlsUsage(FILE* out) {
  std::fprintf(out,
               "usage: uvccam controls [camera options] [--node NAME] [--json] [--get NAME] [--set NAME=VALUE]...\n"
               "  lists every control the filter offers (name, property set/id, type, range,\n"
               "  default, value, auto/manual mode); --get prints one value; --set changes\n"
               "  values through the property sets and prints what was stored. While\n"
               "  uvccam publish owns the camera (or with --node, the node it publishes)\n"
               "  the running publisher does it on the live stream.\n"
               "\n%s",
               kCameraOptionsUsage);
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "uvccam controls: %s\n", what.c_str());
  return 1;
}

}  // namespace

int ControlsCommand(int argc, char** argv) {
  // --set may repeat: every one is taken out before the common parser runs.
  std::vector<std::string> sets;
  std::vector<char*> rest;
  if (int rc = TakeRepeatedOption("controls", "--set", argc, argv, &sets, &rest)) return rc;
  std::string get, node;
  bool json = false;
  CameraOptions camOptions;
  if (int rc = ParseCommandOptions("controls", int(rest.size()), rest.data(), &camOptions,
                                   {{"--json", &json}}, {{"--get", &get}, {"--node", &node}}, ControlsUsage))
    return rc < 0 ? 0 : rc;
  std::string error, live;
  // A camera that `uvccam publish` owns is reached through the publisher.
  if (!FindLiveSocket(camOptions, node, &live, &error)) return Fail(error);
  if (!live.empty()) return LiveControls(live, get, sets, json);
  if (!UseStateFolder(camOptions, &error)) return Fail(error);
  std::unique_ptr<host::UsbDeviceModel> model = MakeCamera(camOptions, &error);
  if (!model) return Fail(error.empty() ? "no camera" : error);
  host::SetClockRate(100.0);  // the simulated camera needs no settling time
  std::unique_ptr<client::Camera> cam;
  NTSTATUS s = client::Camera::Plug(std::move(model), &cam);
  if (NT_SUCCESS(s)) s = cam->Start();
  client::Filter* filter = nullptr;
  if (NT_SUCCESS(s)) s = cam->OpenFilter(&filter);
  if (!NT_SUCCESS(s) || !filter) {
    return Fail("the driver did not start (status " + StatusText(s) + ")");
  }
  if (!sets.empty()) {
    if (!ApplyControlSettings(filter, sets, &error)) return Fail(error);
    // The driver writes its settings when a stream stops: run the capture
    // pin once so the values persist as they do after any capture.
    std::vector<client::PinInfo> pins = filter->Pins();
    std::vector<uint8_t> format;
    client::Pin* pin = nullptr;
    if (!pins.empty() && !pins[0].ranges.empty() &&
        NT_SUCCESS(filter->Intersect(pins[0].id, pins[0].ranges[0], &format)) &&
        NT_SUCCESS(filter->CreatePin(pins[0].id, format, &pin))) {
      pin->SetState(KSSTATE_RUN);
      pin->SetState(KSSTATE_STOP);
      filter->ClosePin(pin);
    }
    // What was stored, one NAME=VALUE a line.
    for (const std::string& set : sets) {
      ControlInfo info;
      const std::string name = set.substr(0, set.find('='));
      if (!GetControl(filter, name, &info, &error)) return Fail(error);
      std::printf("%s=%ld\n", name.c_str(), info.value);
    }
  }
  if (!get.empty()) {
    ControlInfo info;
    if (!GetControl(filter, get, &info, &error)) return Fail(error);
    std::printf("%ld\n", info.value);
  }
  if (sets.empty() && get.empty()) {
    std::vector<ControlInfo> controls;
    if (!ListControls(filter, &controls, &error)) return Fail(error);
    std::fputs((json ? ControlsJson(controls) : ControlsText(controls)).c_str(), stdout);
  }
  return 0;
}

}  // namespace tools
