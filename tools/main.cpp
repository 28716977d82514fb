// uvccam: command-line program over the driver on a simulated camera.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "camera/simulated_camera.h"
#include "client/usb_host_camera.h"
#include "platform/host/host_control.h"
#include "tools/overlay_art.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: uvccam <command> [options]\n"
               "commands:\n"
               "  formats     bring the camera up and list its format and still tables\n"
               "  overlays    install the overlay bitmaps for every overlay and frame size\n"
               "  help        show this text\n"
               "\n"
               "formats options:\n"
               "  --json              print one JSON object instead of text\n"
               "  --profile FILE      simulated camera from a JSON profile\n"
               "  --descriptors FILE  simulated camera answering for a descriptor dump\n"
               "                      (device descriptor, then configuration descriptor)\n"
               "  --full-speed        make a descriptor dump enumerate at full speed\n"
               "  --play FILE         stream frames from FILE (JPEG frames for MJPEG, raw\n"
               "                      frames at the committed size for YUY2/UYVY), looped\n"
               "  --fault NAME=N      inject a stream fault (lose-packet, error-packet, err-bit,\n"
               "                      truncate-frame, oversize-frame, break-trailer: every Nth\n"
               "                      frame; stall, unplug: after N frames); repeatable\n"
               "Without --profile or --descriptors the built-in camera is used.\n"
               "\n"
               "overlays options:\n"
               "  --state DIR         state folder to install into (default\n"
               "                      $XDG_STATE_HOME/uvccam, else ~/.local/state/uvccam)\n");
}

int Formats(int argc, char** argv) {
  bool json = false, fullSpeed = false;
  std::string profile, descriptors, play;
  camera::StreamFaults faults;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--play" && i + 1 < argc) {
      play = argv[++i];
    } else if (a == "--fault" && i + 1 < argc) {
      std::string f = argv[++i];
      size_t eq = f.find('=');
      char* end = nullptr;
      unsigned long n = eq == std::string::npos ? 0 : std::strtoul(f.c_str() + eq + 1, &end, 10);
      if (eq == std::string::npos || !end || *end || n == 0 || n > 1000000 ||
          !camera::SetStreamFault(&faults, f.substr(0, eq), uint32_t(n))) {
        std::fprintf(stderr, "uvccam formats: bad fault '%s' (NAME=N)\n", f.c_str());
        return 2;
      }
    } else if (a == "--json") {
      json = true;
    } else if (a == "--full-speed") {
      fullSpeed = true;
    } else if ((a == "--profile" || a == "--descriptors") && i + 1 < argc) {
      (a == "--profile" ? profile : descriptors) = argv[++i];
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "uvccam formats: unknown or incomplete option '%s'\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (!profile.empty() && !descriptors.empty()) {
    std::fprintf(stderr, "uvccam formats: --profile and --descriptors exclude each other\n");
    return 2;
  }
  if (fullSpeed && descriptors.empty()) {
    std::fprintf(stderr, "uvccam formats: --full-speed applies to --descriptors only\n");
    return 2;
  }
  std::string error;
  std::unique_ptr<host::UsbDeviceModel> model;
  if (!profile.empty()) {
    model = camera::CameraFromProfileFile(profile, &error);
  } else if (!descriptors.empty()) {
    model = camera::CameraFromDescriptorFile(descriptors, fullSpeed, &error);
  } else {
    model = camera::DefaultCamera();
  }
  if (!model) {
    std::fprintf(stderr, "uvccam formats: %s\n", error.empty() ? "no camera" : error.c_str());
    return 1;
  }
  if (auto* sim = dynamic_cast<camera::SimulatedCamera*>(model.get())) {
    if (!play.empty()) {
      std::vector<uint8_t> bytes;
      if (!camera::ReadWholeFile(play, &bytes, &error) || bytes.empty()) {
        std::fprintf(stderr, "uvccam formats: --play: %s\n", error.empty() ? "empty file" : error.c_str());
        return 1;
      }
      sim->SetPlayBytes(std::move(bytes));
    }
    camera::StreamFaults merged = sim->GetStreamFaults();
    for (auto m : {&camera::StreamFaults::losePacket, &camera::StreamFaults::errorPacket,
                   &camera::StreamFaults::errBit, &camera::StreamFaults::truncateFrame,
                   &camera::StreamFaults::oversizeFrame, &camera::StreamFaults::breakTrailer,
                   &camera::StreamFaults::stall, &camera::StreamFaults::unplug})
      if (faults.*m) merged.*m = faults.*m;
    sim->SetStreamFaults(merged);
  }
  // The simulated camera needs no settling time: run the host clock fast
  // through the bring-up's start-up delay.
  host::SetClockRate(100.0);
  client::HostUsbCamera cam(std::move(model));
  client::BringUpResult r = cam.BringUp();
  if (!r.ok()) {
    std::fprintf(stderr, "uvccam formats: %s\n", client::BringUpFailureText(r).c_str());
    return 1;
  }
  std::string out = json ? client::FormatsJson(*cam.Engine()) : client::FormatsText(*cam.Engine());
  std::fputs(out.c_str(), stdout);
  return 0;
}

// `uvccam overlays`: draws the overlay art for every frame size of the
// simulated cameras into the state folder, where the driver looks for it.
int Overlays(int argc, char** argv) {
  std::string folder = tools::DefaultStateFolder();
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--state" && i + 1 < argc) {
      folder = argv[++i];
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "uvccam overlays: unknown or incomplete option '%s'\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
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
  if (!std::strcmp(argv[1], "formats")) return Formats(argc - 2, argv + 2);
  if (!std::strcmp(argv[1], "overlays")) return Overlays(argc - 2, argv + 2);
  std::fprintf(stderr, "uvccam: unknown command '%s'\n", argv[1]);
  Usage(stderr);
  return 2;
}
