// `uvccam controls`: lists, reads and changes the camera's controls through
// the filter's property sets; settings persist in the state folder as the
// driver persists them.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "client/camera.h"
#include "platform/host/host_control.h"
#include "platform/host/host_files.h"
#include "tools/camera_options.h"
#include "tools/commands.h"
#include "tools/control_settings.h"
#include "tools/device_select.h"
#include "tools/stored_controls.h"
#include "tools/live_link.h"

namespace tools {

namespace {

void ControlsUsage(FILE* out) {
  std::fprintf(out,
               "usage: uvccam controls [camera options] [--json] [--get NAME]... [--set NAME=VALUE]...\n"
               "  lists every control the filter offers (name, property set/id, type, range,\n"
               "  default, value, auto/manual mode, menu items); --get prints values, one a\n"
               "  line (NAME=VALUE when several); --set changes values through the property\n"
               "  sets, in order, prints what was stored and keeps it for later runs (a\n"
               "  control that acts only while streaming, zoom, for the next stream);\n"
               "  --json prints an object (a list without --get or --set)\n"
               "  While uvccam publish owns the camera (or with --node NAME, the node it\n"
               "  publishes) the running publisher does it on the live stream.\n"
               "\n%s",
               kCameraOptionsUsage);
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "uvccam controls: %s\n", what.c_str());
  return 1;
}

}  // namespace

int ControlsCommand(int argc, char** argv) {
  std::vector<std::string> sets, gets;
  std::string node;
  bool json = false;
  CameraOptions camOptions;
  if (int rc = ParseCommandOptions("controls", argc, argv, &camOptions,
                                   {Flag("--json", &json), Repeated("--get", &gets), Repeated("--set", &sets),
                                    Value("--node", &node)},
                                   ControlsUsage))
    return rc < 0 ? 0 : rc;
  std::string error, live;
  // A camera that `uvccam publish` owns is reached through the publisher.
  if (!FindLiveSocket(camOptions, node, &live, &error)) return Fail(error);
  if (!live.empty()) {
    if (gets.size() > 1) return Fail("one --get at a time through a running publisher");
    return LiveControls(live, gets.empty() ? std::string() : gets[0], sets, json);
  }
  if (!UseStateFolder(camOptions, &error)) return Fail(error);
  host::SetClockRate(StartClockRate(camOptions));  // a simulated camera needs no settling time
  std::unique_ptr<client::Camera> cam;
  camera::SimulatedCamera* simulated = nullptr;
  if (!PlugCamera(camOptions, &cam, &simulated, &error)) return Fail(error);
  NTSTATUS s = cam->Start();
  client::Filter* filter = nullptr;
  if (NT_SUCCESS(s)) s = cam->OpenFilter(&filter);
  if (!NT_SUCCESS(s) || !filter) {
    return Fail("the driver did not start (status " + StatusText(s) + ")");
  }
  // The values kept from earlier runs first; those of controls that act
  // only on a running stream wait for the next stream.
  const std::string folder = StateFolderOf(camOptions);
  std::vector<std::string> whileStreaming;
  ApplyStoredControls(filter, folder, "controls", &whileStreaming);
  // NAME and value pairs to print, in the order asked.
  std::vector<std::pair<std::string, long>> shown;
  if (!sets.empty()) {
    if (!ApplyControlSettings(filter, sets, &error, &shown, &whileStreaming)) return Fail(error);
    if (!StoreControls(folder, shown, &error)) return Fail(error);
    // The driver writes its settings when a stream stops: run the capture
    // pin once so the values persist as they do after any capture.
    host::ClearRegistryWriteError();
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
    const std::string notSaved = host::RegistryWriteError();
    if (!notSaved.empty()) {
      std::string which;
      for (const std::string& set : sets) which += (which.empty() ? "" : ", ") + set;
      return Fail("not stored: " + which + " (" + notSaved + ")");
    }
  }
  // A control that acts only while streaming runs with its kept value.
  auto runsWith = [&](ControlInfo* info) {
    for (const std::string& set : whileStreaming)
      if (set.compare(0, info->name.size() + 1, info->name + "=") == 0)
        info->value = std::strtol(set.c_str() + info->name.size() + 1, nullptr, 10);
  };
  for (const std::string& name : gets) {
    ControlInfo info;
    if (!GetControl(filter, name, &info, &error)) return Fail(error);
    runsWith(&info);
    shown.emplace_back(name, info.value);
  }
  if (sets.empty() && gets.empty()) {
    std::vector<ControlInfo> controls;
    if (!ListControls(filter, &controls, &error)) return Fail(error);
    for (ControlInfo& c : controls) runsWith(&c);
    std::fputs((json ? ControlsJson(controls) : ControlsText(controls)).c_str(), stdout);
  } else if (json) {
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    for (const auto& v : shown) j[v.first] = v.second;
    std::printf("%s\n", j.dump().c_str());
  } else {
    // A lone --get prints the bare value, as scripts read it.
    for (size_t i = 0; i < shown.size(); ++i) {
      const auto& v = shown[i];
      if (sets.empty() && gets.size() == 1) {
        std::printf("%ld\n", v.second);
      } else {
        std::printf("%s=%ld%s\n", v.first.c_str(), v.second,
                    i < sets.size() && ActsOnlyWhileStreaming(v.first)
                        ? " (kept for the next stream: it acts only while a stream runs)"
                        : "");
      }
    }
  }
  return 0;
}

}  // namespace tools
