// RestoreControls: the stored control values back to the camera, and the
// one bounded exposure-table lookup.
#include "usb/restore_controls.h"

#include "controls/camera_controls.h"

namespace {

// Exposure value v (-14..-1) -> exposure time in 100 us units, entry v + 14.
constexpr ULONG kExposureTimeTable[14] = {0,   1,   2,    4,    9,    19,   39,
                                          78,  156, 312,  625,  1250, 2500, 5000};

}  // namespace

BOOLEAN ExposureTimeFor(LONG exposureValue, ULONG* time100us) {
  if (exposureValue < -14 || exposureValue > -1) return FALSE;
  *time100us = kExposureTimeTable[exposureValue + 14];
  return TRUE;
}

VOID RestoreControls(StreamEngine* engine) {
  // The same stored form and wire translation as the property sets.
  if (engine->cameraControls && engine->effectState) SendStoredControls(*engine->cameraControls);
  StoreSetting(engine->controlsApplied, 1);
}
