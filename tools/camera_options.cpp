#include "tools/camera_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "camera/simulated_camera.h"
#include "platform/host/host_files.h"
#include "tools/device_select.h"
#include "tools/overlay_art.h"

namespace tools {

const char kCameraOptionsUsage[] =
    "camera options (every command):\n"
    "  --profile FILE      simulated camera from a JSON profile\n"
    "  --descriptors FILE  simulated camera answering for a descriptor dump\n"
    "                      (device descriptor, then configuration descriptor)\n"
    "  --full-speed        make a descriptor dump enumerate at full speed\n"
    "  --play FILE         stream frames from FILE (JPEG frames for MJPEG, raw\n"
    "                      frames at the committed size for YUY2/UYVY), looped\n"
    "  --fault NAME=N      inject a stream fault (lose-packet, error-packet, err-bit,\n"
    "                      truncate-frame, oversize-frame, break-trailer: every Nth\n"
    "                      frame; stall, unplug: after N frames); repeatable\n"
    "  --state DIR         the driver's state folder: settings, overlay bitmaps,\n"
    "                      decode-error dumps (default $XDG_STATE_HOME/uvccam,\n"
    "                      else ~/.local/state/uvccam)\n"
    "  --device DEVICE       a real USB camera instead of a simulated one: usb:VVVV:PPPP\n"
    "                      (hex ids, first match), usb:VVVV:PPPP#N (Nth match),\n"
    "                      usb:BUS/ADDR or usb:BUS-PORT[.PORT...] (uvccam list shows them)\n"
    "  --detach            with --device: detach the kernel's video driver for the run\n"
    "                      and give the camera back to it at exit\n"
    "Without --profile, --descriptors or --device the built-in camera is used.\n";

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
  return text;
}

namespace {

// Parses "--fault NAME=N" values into the options' fault set.
bool ParseFaults(const char* command, const std::vector<std::string>& texts, CameraOptions* o) {
  for (const std::string& v : texts) {
    const size_t eq = v.find('=');
    char* end = nullptr;
    const unsigned long n = eq == std::string::npos ? 0 : std::strtoul(v.c_str() + eq + 1, &end, 10);
    if (eq == std::string::npos || !end || *end || n == 0 || n > 1000000 ||
        !camera::SetStreamFault(&o->faults, v.substr(0, eq), uint32_t(n))) {
      std::fprintf(stderr, "uvccam %s: bad fault '%s' (NAME=N with N from 1 to 1000000; names: %s)\n", command,
                   v.c_str(), camera::StreamFaultNames().c_str());
      return false;
    }
    o->anyFault = true;
  }
  return true;
}

}  // namespace

int ParseCommandOptions(const char* command, int argc, char** argv, CameraOptions* camOptions,
                        std::initializer_list<OptionSpec> options, void (*usage)(FILE* out)) {
  std::vector<std::string> faults;
  // The camera options every command takes.
  const OptionSpec cameraOptions[] = {
      Value("--profile", &camOptions->profile),     Value("--descriptors", &camOptions->descriptors),
      Flag("--full-speed", &camOptions->fullSpeed), Value("--play", &camOptions->play),
      Repeated("--fault", &faults),                 Value("--state", &camOptions->state),
      Value("--device", &camOptions->device),       Flag("--detach", &camOptions->detach),
  };
  std::vector<OptionSpec> all(options);
  all.insert(all.end(), std::begin(cameraOptions), std::end(cameraOptions));
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return -1;
    }
    // "--name=value" is "--name value".
    const size_t eq = a.rfind("--", 0) == 0 ? a.find('=') : std::string::npos;
    const std::string name = a.substr(0, eq);
    const OptionSpec* selector = nullptr;
    for (const OptionSpec& o : all)
      if (name == o.name) selector = &o;
    if (selector == nullptr) {
      std::fprintf(stderr, "uvccam %s: unknown %s '%s' (uvccam %s --help lists the options)\n", command,
                   a[0] == '-' ? "option" : "argument", a.c_str(), command);
      return 2;
    }
    if (selector->flag) {
      if (eq != std::string::npos) {
        std::fprintf(stderr, "uvccam %s: %s takes no value\n", command, name.c_str());
        return 2;
      }
      *selector->flag = true;
      continue;
    }
    if (eq == std::string::npos && i + 1 >= argc) {
      std::fprintf(stderr, "uvccam %s: %s needs a value\n", command, name.c_str());
      return 2;
    }
    const std::string value = eq == std::string::npos ? std::string(argv[++i]) : a.substr(eq + 1);
    if (selector->value) *selector->value = value;
    if (selector->values) selector->values->push_back(value);
  }
  if (!ParseFaults(command, faults, camOptions)) return 2;
  return CheckCameraOptions(command, *camOptions) ? 0 : 2;
}

bool CheckCameraOptions(const char* command, const CameraOptions& o) {
  if (!CheckDeviceOptions(command, o)) return false;
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
  std::unique_ptr<host::UsbDeviceModel> model;
  if (!o.profile.empty()) {
    model = camera::CameraFromProfileFile(o.profile, error);
  } else if (!o.descriptors.empty()) {
    model = camera::CameraFromDescriptorFile(o.descriptors, o.fullSpeed, error);
  } else {
    model = camera::DefaultCamera();
  }
  auto* sim = dynamic_cast<camera::SimulatedCamera*>(model.get());
  if (!sim) return model;
  if (!o.play.empty()) {
    std::shared_ptr<camera::PlayFile> play = camera::PlayFile::Open(o.play, error);
    if (!play) {
      *error = "--play: " + *error;
      return nullptr;
    }
    sim->SetPlayFile(std::move(play));
  }
  if (o.anyFault) {
    // Faults on the command line add to (and override) the profile's.
    camera::StreamFaults merged = sim->GetStreamFaults();
    for (auto m : {&camera::StreamFaults::losePacket, &camera::StreamFaults::errorPacket,
                   &camera::StreamFaults::errBit, &camera::StreamFaults::truncateFrame,
                   &camera::StreamFaults::oversizeFrame, &camera::StreamFaults::breakTrailer,
                   &camera::StreamFaults::stall, &camera::StreamFaults::unplug})
      if (o.faults.*m) merged.*m = o.faults.*m;
    sim->SetStreamFaults(merged);
  }
  return model;
}

std::string StateFolderOf(const CameraOptions& o) { return o.state.empty() ? DefaultStateFolder() : o.state; }

bool UseStateFolder(const CameraOptions& o, std::string* error) {
  const std::string folder = StateFolderOf(o);
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec || !std::filesystem::is_directory(folder)) {
    *error = "cannot use state folder " + folder + (ec ? ": " + ec.message() : "");
    return false;
  }
  host::SetStateFolder(folder);
  return true;
}

}  // namespace tools
