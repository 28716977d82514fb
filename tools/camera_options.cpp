#include "tools/camera_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "camera/simulated_camera.h"
#include "platform/host/host_files.h"
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
    "Without --profile or --descriptors the built-in camera is used.\n";

OptionResult ParseCameraOption(const char* command, int argc, char** argv, int* i,
                               CameraOptions* o) {
  const std::string a = argv[*i];
  const bool hasValue = *i + 1 < argc;
  if (a == "--full-speed") {
    o->fullSpeed = true;
    return OptionResult::kTaken;
  }
  if (a != "--profile" && a != "--descriptors" && a != "--play" && a != "--fault" && a != "--state")
    return OptionResult::kNotMine;
  if (!hasValue) {
    std::fprintf(stderr, "uvccam %s: %s needs a value\n", command, a.c_str());
    return OptionResult::kBad;
  }
  const std::string v = argv[++*i];
  if (a == "--profile") o->profile = v;
  if (a == "--descriptors") o->descriptors = v;
  if (a == "--play") o->play = v;
  if (a == "--state") o->state = v;
  if (a == "--fault") {
    const size_t eq = v.find('=');
    char* end = nullptr;
    const unsigned long n =
        eq == std::string::npos ? 0 : std::strtoul(v.c_str() + eq + 1, &end, 10);
    if (eq == std::string::npos || !end || *end || n == 0 || n > 1000000 ||
        !camera::SetStreamFault(&o->faults, v.substr(0, eq), uint32_t(n))) {
      std::fprintf(stderr, "uvccam %s: bad fault '%s' (NAME=N)\n", command, v.c_str());
      return OptionResult::kBad;
    }
    o->anyFault = true;
  }
  return OptionResult::kTaken;
}

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
  return text;
}

int TakeRepeatedOption(const char* command, const char* option, int argc, char** argv,
                       std::vector<std::string>* values, std::vector<char*>* rest) {
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], option) != 0) {
      rest->push_back(argv[i]);
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "uvccam %s: %s needs a value\n", command, option);
      return 2;
    }
    values->push_back(argv[++i]);
  }
  return 0;
}

int ParseCommandOptions(const char* command, int argc, char** argv, CameraOptions* camOptions,
                        std::initializer_list<std::pair<const char*, bool*>> flags,
                        std::initializer_list<std::pair<const char*, std::string*>> values,
                        void (*usage)(FILE* out)) {
  for (int i = 0; i < argc; ++i) {
    const OptionResult r = ParseCameraOption(command, argc, argv, &i, camOptions);
    if (r == OptionResult::kBad) return 2;
    if (r == OptionResult::kTaken) continue;
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return -1;
    }
    bool known = false;
    for (auto& f : flags)
      if (a == f.first) *f.second = known = true;
    for (auto& v : values) {
      if (known || a != v.first) continue;
      if (i + 1 >= argc) {
        std::fprintf(stderr, "uvccam %s: %s needs a value\n", command, a.c_str());
        return 2;
      }
      *v.second = argv[++i];
      known = true;
    }
    if (!known) {
      std::fprintf(stderr, "uvccam %s: unknown option '%s' (uvccam help lists them)\n", command,
                   a.c_str());
      return 2;
    }
  }
  return CheckCameraOptions(command, *camOptions) ? 0 : 2;
}

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
