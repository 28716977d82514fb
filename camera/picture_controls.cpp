// The processing unit's picture controls on the simulated camera's test
// picture: read from the unit's current values after each change, applied
// to the picture as it is made. The model is described in camera/README.md;
// every step leaves the picture untouched while its control sits at its
// default.
#include <algorithm>
#include <cmath>

#include "camera/camera_state.h"

namespace camera {

namespace {

enum : uint8_t {
  kPuBrightness = 0x02,
  kPuContrast = 0x03,
  kPuGain = 0x04,
  kPuHue = 0x06,
  kPuSaturation = 0x07,
  kPuSharpness = 0x08,
  kPuGamma = 0x09,
  kPuWhiteBalanceTemperature = 0x0A,
  kPuWhiteBalanceTemperatureAuto = 0x0B,
  kPuHueAuto = 0x10,
};

uint8_t Clamp(double t) { return uint8_t(std::lround(std::min(255.0, std::max(0.0, t)))); }

// A control's ratio to its default (1 when it has no usable default).
double Ratio(const PictureControls::Control& c) { return c.def > 0 ? double(c.value) / double(c.def) : 1.0; }

}  // namespace

bool PictureControls::Neutral() const {
  for (const Control* c : {&brightness, &contrast, &hue, &saturation, &sharpness, &gamma, &gain, &whiteBalance})
    if (c->value != c->def) return false;
  return true;
}

std::vector<int64_t> PictureControls::Key() const {
  std::vector<int64_t> key;
  for (const Control* c : {&brightness, &contrast, &hue, &saturation, &sharpness, &gamma, &gain, &whiteBalance})
    key.insert(key.end(), {c->value, c->def});
  return key;
}

void AdjustPicture(const PictureControls& pc, uint32_t width, uint32_t height, uint8_t* y, uint8_t* u, uint8_t* v) {
  if (pc.Neutral()) return;
  const size_t count = size_t(width) * height;
  // Luma through one table: gain, contrast, brightness, then gamma.
  uint8_t luma[256];
  for (int in = 0; in < 256; ++in) {
    double t = in;
    t = 16 + (t - 16) * (100.0 + double(pc.gain.value - pc.gain.def)) / 100.0;
    t = 128 + (t - 128) * Ratio(pc.contrast);
    t += double(pc.brightness.value - pc.brightness.def);
    if (pc.gamma.value > 0 && pc.gamma.value != pc.gamma.def) {
      const double level = std::min(1.0, std::max(0.0, (t - 16) / 219.0));
      t = 16 + 219 * std::pow(level, Ratio(pc.gamma) > 0 ? 1.0 / Ratio(pc.gamma) : 1.0);
    }
    luma[in] = Clamp(t);
  }
  for (size_t i = 0; i < count; ++i) y[i] = luma[y[i]];
  // Sharpness: each step from the default adds (or, below it, takes away)
  // a quarter of the luma's horizontal second difference.
  if (const int64_t k = pc.sharpness.value - pc.sharpness.def) {
    std::vector<uint8_t> row(width);
    for (uint32_t r = 0; r < height; ++r) {
      uint8_t* line = y + size_t(r) * width;
      row.assign(line, line + width);
      for (uint32_t x = 0; x < width; ++x) {
        const int left = row[x ? x - 1 : x], right = row[x + 1 < width ? x + 1 : x];
        line[x] = Clamp(row[x] + double(k) * (2 * row[x] - left - right) / 4.0);
      }
    }
  }
  // Chroma: saturation scales it, hue turns it (degrees), white balance
  // moves it towards red and away from blue by 1 per 100 K above the
  // default (the other way below).
  const double saturation = Ratio(pc.saturation);
  const double angle = double(pc.hue.value - pc.hue.def) * 3.14159265358979 / 180.0;
  const double cs = std::cos(angle) * saturation, sn = std::sin(angle) * saturation;
  const double warm = double(pc.whiteBalance.value - pc.whiteBalance.def) / 100.0;
  for (size_t i = 0; i < count; ++i) {
    const double du = u[i] - 128.0, dv = v[i] - 128.0;
    u[i] = Clamp(128 + du * cs - dv * sn - warm);
    v[i] = Clamp(128 + du * sn + dv * cs + warm);
  }
}

void SimulatedCamera::State::UpdatePictureControls() {
  PictureControls pc;
  uint8_t unit = 0;
  for (const EntityInfo& e : setup.layout.entities)
    if (e.subtype == 5) unit = e.id;
  auto read = [&](uint8_t selector, PictureControls::Control* out) {
    auto it = controls.find({unit, selector});
    if (!unit || it == controls.end() || it->second.cur.empty()) return false;
    const ControlValues& cv = it->second;
    out->value = DecodeLe(cv.cur.data(), uint32_t(cv.cur.size()), cv.isSigned);
    out->def = cv.def;
    return true;
  };
  read(kPuBrightness, &pc.brightness);
  read(kPuContrast, &pc.contrast);
  read(kPuGain, &pc.gain);
  read(kPuSaturation, &pc.saturation);
  read(kPuSharpness, &pc.sharpness);
  read(kPuGamma, &pc.gamma);
  // Hue and white balance follow their manual value only while their auto
  // mode (where the unit has one) is off.
  PictureControls::Control automatic;
  if (!read(kPuHueAuto, &automatic) || automatic.value == 0) read(kPuHue, &pc.hue);
  automatic = {};
  if (!read(kPuWhiteBalanceTemperatureAuto, &automatic) || automatic.value == 0)
    read(kPuWhiteBalanceTemperature, &pc.whiteBalance);
  stream.SetPictureControls(pc);
}

}  // namespace camera
