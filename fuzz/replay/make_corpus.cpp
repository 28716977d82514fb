// Writes the seed corpus of every fuzz target under <source>/fuzz/corpus/:
// a profile's descriptor dump, a test picture, payload sequences, every
// property the filter answers, each pin's first range and some effects,
// and the inputs that once found faults. Run by hand when the targets
// change (fuzz_make_corpus <source folder>), then keep only the inputs of
// distinct coverage: scripts/fuzz.sh --minimize TARGET.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "controls/property_sets.h"
#include "fuzz/filter_rig.h"

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

// Kept small: the seeds are checked in. Each target gets the fewest inputs
// that reach its distinct paths; a campaign grows its own corpus from them.
void Descriptors() {
  // The smallest profile's dump (a full-speed MJPEG camera), and a copy of
  // it whose first frame descriptor has index 0 and 65535 x 65535 (it once
  // overflowed the parser's message); the configuration alone, and an empty
  // one (it once made the fuzz harness copy from nowhere).
  std::string error;
  auto cam = camera::SimulatedCameraFromProfileFile(g_root + "/camera/profiles/webcam_mjpeg.json", &error);
  if (!cam) std::fprintf(stderr, "%s\n", error.c_str()), std::exit(1);
  Bytes dump = cam->DescriptorDump();
  Write("camera_descriptor_dump", "webcam_mjpeg", dump);
  Write("descriptors", "webcam_mjpeg", Cat({3, 0, 12, 0, 0}, Bytes(dump.begin() + dump[0], dump.end())));
  Write("descriptors", "fault-empty-configuration", {1, 0, 12, 0, 0});
  for (size_t i = 18; i + 9 < dump.size(); i += dump[i] ? dump[i] : 1)
    if (dump[i + 1] == 0x24 && (dump[i + 2] == 5 || dump[i + 2] == 7)) {
      dump[i + 3] = 0, dump[i + 5] = dump[i + 6] = dump[i + 7] = dump[i + 8] = 0xFF;
      break;
    }
  Write("camera_descriptor_dump", "fault-frame-index-0-huge", dump);
}

// A small frame in a JPEG's markers: the payload target checks markers and
// the trailer, not the picture.
Bytes MarkedFrame(int n) {
  Bytes f = {0xFF, 0xD8};
  f.insert(f.end(), size_t(16 + n), uint8_t(0x41 + n));
  f.push_back(0xFF), f.push_back(0xD9);
  return f;
}

void Frames() {
  // A 16 x 8 test picture, decoded as a still into a small buffer.
  Write("mjpeg", "picture-16x8", Cat({0x13}, camera::TestPicture(camera::StreamFormat::kMjpeg, 16, 8, 1)));

  // Effects at 16 x 8 (setting bytes chosen to avoid zero bytes): the
  // stateful effects 4, 7 and 10, the filters with a special colour, and
  // zoom with rotation.
  const Bytes picture = camera::TestPicture(camera::StreamFormat::kYuy2, 16, 8, 0);
  for (uint8_t effect : {4, 7, 10})
    Write("effects", "special-" + std::to_string(effect), Cat({15, 2, 7, 2, 0x80, 8, 64, 1, 1, effect, 8, 5, 2, 7, 1, 1}, picture));
  Write("effects", "filters", Cat({15, 2, 7, 2, 0x3F, 3, 64, 1, 1, 16, 8, 5, 2, 1, 1, 1}, picture));
  Write("effects", "zoom-rotate", Cat({15, 2, 7, 2, 0x40, 8, 128, 20, 236, 16, 3, 2, 2, 1, 1, 1}, picture));

  // Payloads: five frames, one payload each (FID toggling, EOF), so that
  // frames after the first three are committed; the fourth is a still.
  const struct { uint8_t mode; const char* name; } kModes[] = {{0, "mjpeg-trailer"}, {1, "mjpeg-no-trailer"}, {2, "yuy2"}};
  for (const auto& m : kModes) {
    const uint32_t w = 4, h = 2;
    Bytes input = {m.mode, uint8_t(w / 2 - 1), uint8_t(h - 1), 1};
    for (int frame = 0; frame < 5; ++frame) {
      Bytes f = m.mode == 2 ? Bytes(w * h * 2, uint8_t(0x41 + frame)) : MarkedFrame(frame);
      if (m.mode == 0) camera::AppendTrailer(&f);
      const uint8_t info = uint8_t((frame & 1) | 2 | (frame == 3 ? 0x20 : 0));
      input.push_back(uint8_t((f.size() + 2) >> 8)), input.push_back(uint8_t(f.size() + 2));
      input.push_back(2), input.push_back(info);
      input.insert(input.end(), f.begin(), f.end());
    }
    Write("stream_payloads", m.name, input);
  }
}

void Filter() {
  client::Filter* filter = OpenFilterRig("/tmp/uvccam-make-corpus").filter;
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
  for (uint8_t pin = 0; pin <= pins.size(); ++pin) {
    const bool real = pin < pins.size();  // a pin id past the last takes one path whatever the operation
    if (real && pins[pin].ranges.empty()) continue;
    for (uint8_t op = 0; op < (real ? 3 : 1); ++op)
      Write("pin_formats", std::to_string(pin) + "-" + std::to_string(op) + "-0", {pin, op, 0, 0, 255});
  }
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
