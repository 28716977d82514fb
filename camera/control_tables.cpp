// The standard unit controls the simulated camera knows, with the values a
// camera answers when its profile (or a descriptor dump) does not say.
#include "camera/camera_internal.h"

namespace camera {

namespace {
constexpr ControlKind S = ControlKind::kScalar;
constexpr ControlKind B = ControlKind::kBitmap;
constexpr ControlKind C = ControlKind::kComposite;
}  // namespace

const std::vector<ControlDef>& ProcessingUnitControls() {
  static const std::vector<ControlDef> table = {
      // name, bit, selector, length, signed, kind, min, max, def, res, info
      {"brightness", 0, 0x02, 2, true, S, -64, 64, 0, 1, 3},
      {"contrast", 1, 0x03, 2, false, S, 0, 64, 32, 1, 3},
      {"hue", 2, 0x06, 2, true, S, -40, 40, 0, 1, 3},
      {"saturation", 3, 0x07, 2, false, S, 0, 128, 64, 1, 3},
      {"sharpness", 4, 0x08, 2, false, S, 0, 6, 3, 1, 3},
      {"gamma", 5, 0x09, 2, false, S, 72, 500, 100, 1, 3},
      {"whiteBalanceTemperature", 6, 0x0A, 2, false, S, 2800, 6500, 4600, 10, 3},
      {"whiteBalanceComponent", 7, 0x0C, 4, false, C, 0, 0x00FF00FF, 0x00800080, 0x00010001, 3},
      {"backlightCompensation", 8, 0x01, 2, false, S, 0, 2, 1, 1, 3},
      {"gain", 9, 0x04, 2, false, S, 0, 100, 0, 1, 3},
      {"powerLineFrequency", 10, 0x05, 1, false, S, 0, 2, 1, 1, 3},
      {"hueAuto", 11, 0x10, 1, false, S, 0, 1, 0, 1, 3},
      {"whiteBalanceTemperatureAuto", 12, 0x0B, 1, false, S, 0, 1, 1, 1, 3},
      {"whiteBalanceComponentAuto", 13, 0x0D, 1, false, S, 0, 1, 1, 1, 3},
      {"digitalMultiplier", 14, 0x0E, 2, false, S, 1, 16, 1, 1, 3},
      {"digitalMultiplierLimit", 15, 0x0F, 2, false, S, 1, 16, 16, 1, 3},
      {"analogVideoStandard", 16, 0x11, 1, false, S, 0, 255, 0, 1, 1},
      {"analogLockStatus", 17, 0x12, 1, false, S, 0, 1, 0, 1, 1},
  };
  return table;
}

const std::vector<ControlDef>& CameraTerminalControls() {
  static const std::vector<ControlDef> table = {
      {"scanningMode", 0, 0x01, 1, false, S, 0, 1, 0, 1, 3},
      // GET_RES lists the supported modes (1 manual, 2 auto, 4 shutter
      // priority, 8 aperture priority); SET_CUR takes exactly one of them.
      {"autoExposureMode", 1, 0x02, 1, false, B, 0, 0, 2, 0x0F, 3},
      {"autoExposurePriority", 2, 0x03, 1, false, S, 0, 1, 0, 1, 3},
      {"exposureTimeAbsolute", 3, 0x04, 4, false, S, 1, 10000, 156, 1, 3},
      {"exposureTimeRelative", 4, 0x05, 1, true, S, -1, 1, 0, 1, 3},
      {"focusAbsolute", 5, 0x06, 2, false, S, 0, 255, 0, 1, 3},
      {"focusRelative", 6, 0x07, 2, false, C, 0, 0xFFFF, 0, 0x0101, 3},
      {"irisAbsolute", 7, 0x09, 2, false, S, 0, 1000, 200, 1, 3},
      {"irisRelative", 8, 0x0A, 1, false, C, 0, 255, 0, 1, 3},
      {"zoomAbsolute", 9, 0x0B, 2, false, S, 100, 500, 100, 1, 3},
      {"zoomRelative", 10, 0x0C, 3, false, C, 0, 0xFFFFFF, 0, 0x010101, 3},
      {"panTiltAbsolute", 11, 0x0D, 8, false, C, 0, 0, 0, 0, 3},
      {"panTiltRelative", 12, 0x0E, 4, false, C, 0, 0, 0, 0, 3},
      {"rollAbsolute", 13, 0x0F, 2, true, S, -180, 180, 0, 1, 3},
      {"rollRelative", 14, 0x10, 2, false, C, 0, 0xFFFF, 0, 0x0101, 3},
      {"focusAuto", 17, 0x08, 1, false, S, 0, 1, 1, 1, 3},
      {"privacy", 18, 0x11, 1, false, S, 0, 1, 0, 1, 3},
  };
  return table;
}

const ControlDef* FindControlByName(const std::vector<ControlDef>& table, const std::string& name) {
  for (const ControlDef& def : table)
    if (name == def.name) return &def;
  return nullptr;
}

const ControlDef* FindControlByBit(const std::vector<ControlDef>& table, uint8_t bit) {
  for (const ControlDef& def : table)
    if (def.bit == bit) return &def;
  return nullptr;
}

}  // namespace camera
