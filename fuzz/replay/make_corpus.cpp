// Writes the seed corpus of every fuzz target under <source>/fuzz/corpus/:
// descriptor dumps of every profile, the webcam play frames and test
// pictures, payload sequences as the camera cuts them, every property the
// filter answers, every pin range and each effect. Run by hand when the
// targets change: fuzz_make_corpus <source folder>.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <vector>

#include "camera/simulated_camera.h"
#include "client/camera.h"
#include "controls/property_sets.h"
#include "platform/host/host_control.h"
#include "platform/host/host_files.h"
#include "usb/frame_format.h"

namespace {

using Bytes = std::vector<uint8_t>;
std::string g_root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  const std::string dir = g_root + "/fuzz/corpus/" + target;
  ::mkdir((g_root + "/fuzz/corpus").c_str(), 0755);
  ::mkdir(dir.c_str(), 0755);
  FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
  if (!f) std::perror(name.c_str()), std::exit(1);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

Bytes Cat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

std::vector<std::string> Profiles() {
  std::vector<std::string> names;
  DIR* dir = ::opendir((g_root + "/camera/profiles").c_str());
  if (!dir) return names;
  while (dirent* e = ::readdir(dir))
    if (std::strstr(e->d_name, ".json")) names.push_back(std::string(e->d_name, std::strlen(e->d_name) - 5));
  ::closedir(dir);
  return names;
}

void Descriptors() {
  for (const std::string& name : Profiles()) {
    std::string error;
    auto cam = camera::SimulatedCameraFromProfileFile(g_root + "/camera/profiles/" + name + ".json", &error);
    if (!cam) continue;
    const Bytes dump = cam->DescriptorDump();
    Write("camera_descriptor_dump", name, dump);
    const Bytes config(dump.begin() + dump[0], dump.end());
    for (uint8_t flags : {1, 3, 6}) Write("descriptors", name + "-" + std::to_string(flags), Cat({flags, 0, 12, 0, 0}, config));
  }
  // Inputs that once found faults: a frame of index 0 and 65535 x 65535 in
  // a dump, and an empty configuration.
  Bytes dump = camera::DefaultSimulatedCamera()->DescriptorDump();
  for (size_t i = 18; i + 9 < dump.size(); i += dump[i] ? dump[i] : 1)
    if (dump[i + 1] == 0x24 && (dump[i + 2] == 5 || dump[i + 2] == 7)) {
      dump[i + 3] = 0, dump[i + 5] = dump[i + 6] = dump[i + 7] = dump[i + 8] = 0xFF;
      break;
    }
  Write("camera_descriptor_dump", "fault-frame-index-0-huge", dump);
  Write("descriptors", "fault-empty-configuration", {1, 0, 12, 0, 0});
}

void Frames() {
  std::string error;
  Bytes play;
  camera::ReadInputFile(g_root + "/camera/play/webcam_mjpeg.mjpeg", 1 << 20, &play, &error);
  auto frames = camera::SplitJpegFrames(play);
  for (size_t i = 0; i < frames.size() && i < 2; ++i) Write("mjpeg", "webcam-" + std::to_string(i), Cat({0x08}, frames[i]));
  const struct { uint32_t w, h; uint8_t selector; } kPictures[] = {{16, 8, 0x00}, {64, 48, 0x11}, {160, 120, 0x36}, {320, 240, 0x49}};
  for (const auto& p : kPictures)
    Write("mjpeg", "picture-" + std::to_string(p.w), Cat({p.selector}, camera::TestPicture(camera::StreamFormat::kMjpeg, p.w, p.h, 1)));

  // Effects: 32 x 24 of the test picture under each special effect, then
  // under the filters, mirror/flip, zoom and rotation.
  const Bytes picture = camera::TestPicture(camera::StreamFormat::kYuy2, 32, 24, 0);
  for (uint8_t effect = 0; effect < 16; ++effect)
    Write("effects", "special-" + std::to_string(effect),
          Cat({31, 0, 23, 0, 0, 0, 64, 0, 0, effect, 0, 0, 0, 7, 0, 0}, picture));
  Write("effects", "filters", Cat({31, 0, 23, 0, 0x3F, 3, 64, 0, 0, 0, 0, 0, 1, 0, 0, 0}, picture));
  Write("effects", "zoom-rotate", Cat({31, 0, 23, 0, 0x40, 5, 128, 20, 236, 0, 3, 2, 0, 0, 0, 0}, picture));

  // Payloads: a frame cut into 2-byte-header payloads (FID toggling, EOF on
  // the last), three frames and the start of a fourth so one is committed.
  const struct { uint8_t mode; camera::StreamFormat format; const char* name; } kModes[] = {
      {0, camera::StreamFormat::kMjpeg, "mjpeg-trailer"}, {1, camera::StreamFormat::kMjpeg, "mjpeg-no-trailer"},
      {2, camera::StreamFormat::kYuy2, "yuy2"}};
  for (const auto& m : kModes)
    for (uint8_t still : {0, 1}) {
      const uint32_t w = 32, h = 16;
      Bytes input = {m.mode, uint8_t(w / 2 - 1), uint8_t(h - 1), still};
      for (int frame = 0; frame < 5; ++frame) {
        Bytes f = camera::TestPicture(m.format, w, h, frame);
        if (m.mode == 0) camera::AppendTrailer(&f);
        for (size_t off = 0; off < f.size(); off += 256) {
          const size_t n = std::min<size_t>(256, f.size() - off);
          const uint8_t info = uint8_t((frame & 1) | (off + n == f.size() ? 2 : 0) | (still && frame == 3 ? 0x20 : 0));
          input.push_back(uint8_t((n + 2) >> 8)), input.push_back(uint8_t(n + 2));
          input.push_back(2), input.push_back(info);
          input.insert(input.end(), f.begin() + off, f.begin() + off + n);
        }
      }
      Write("stream_payloads", std::string(m.name) + (still ? "-still" : ""), input);
    }
}

void Filter() {
  host::SetClockRate(1000);
  const std::string state = "/tmp/uvccam-make-corpus";
  ::mkdir(state.c_str(), 0755);
  host::SetStateFolder(state);
  std::unique_ptr<client::Camera> cam;
  client::Filter* filter = nullptr;
  if (client::Camera::Plug(camera::DefaultSimulatedCamera(), &cam) != STATUS_SUCCESS ||
      cam->Start() != STATUS_SUCCESS || cam->OpenFilter(&filter) != STATUS_SUCCESS)
    std::exit(1);
  // Properties: every (set, id) the filter knows, as a get, a set and a
  // support query; the set index and id as the target reads them.
  const GUID* const kSets[] = {&kVendorControlSet, &kExtensionUnitSet, &kVideoCompressionSet,
                               &kVideoControlSet, &kCameraControlSet, &kVideoProcAmpSet};
  for (uint8_t set = 0; set < 6; ++set)
    for (int id = 0; id < 256; ++id) {
      const bool node = set == 1;
      uint8_t property[32] = {};
      KSPROPERTY header{*kSets[set], ULONG(id), KSPROPERTY_TYPE_GET | (node ? KSPROPERTY_TYPE_TOPOLOGY : 0u)};
      std::memcpy(property, &header, sizeof header);
      uint8_t data[128] = {};
      ULONG returned = 0;
      const ULONG length = node ? 32 : 24;
      if (filter->Property(property, length, data, sizeof data, &returned) == STATUS_NOT_FOUND) continue;
      const std::string name = std::to_string(set) + "-" + std::to_string(id);
      Write("properties", name + "-get", {set, uint8_t(id), uint8_t(node ? 3 : 0), uint8_t(length), 128, 0});
      Write("properties", name + "-set", Cat({set, uint8_t(id), uint8_t(node ? 4 : 1), uint8_t(length), 128, 0},
                                             Cat(Bytes(length), Bytes{1, 0, 0, 0, 1, 0, 0, 0})));
      Write("properties", name + "-support", {set, uint8_t(id), 2, uint8_t(length), 128, 0});
    }
  // Pin formats: each pin's ranges through intersection, pin creation and
  // a format change, and one pin id past the last.
  const std::vector<client::PinInfo> pins = filter->Pins();
  for (uint8_t pin = 0; pin <= pins.size(); ++pin)
    for (uint8_t op = 0; op < 3; ++op) {
      const size_t ranges = pin < pins.size() ? pins[pin].ranges.size() : 1;
      for (uint8_t range = 0; range < ranges && range < 4; ++range)
        Write("pin_formats", std::to_string(pin) + "-" + std::to_string(op) + "-" + std::to_string(range),
              {pin, op, range, 0, 255});
    }
  cam->CloseFilter(filter);
  cam->Stop();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_corpus <source folder>\n");
    return 2;
  }
  g_root = argv[1];
  Descriptors();
  Frames();
  Filter();
  return 0;
}
