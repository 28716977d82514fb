// RestoreControls: the stored control values back to the camera.
#include "usb/restore_controls.h"

#include "effects/effect_state.h"
#include "usb/usb_request.h"

namespace {

// Exposure value v (-14..-1) -> exposure time in 100 us units, entry v + 14.
constexpr ULONG kExposureTimeTable[14] = {0,   1,   2,    4,    9,    19,   39,
                                          78,  156, 312,  625,  1250, 2500, 5000};

// Processing-unit and camera-terminal selectors.
constexpr UCHAR kPuBacklight = 0x01, kPuBrightness = 0x02, kPuContrast = 0x03,
                kPuPowerLine = 0x05, kPuHue = 0x06, kPuSaturation = 0x07, kPuSharpness = 0x08,
                kPuGamma = 0x09, kPuWhiteBalanceTemperature = 0x0A,
                kPuWhiteBalanceTemperatureAuto = 0x0B;
constexpr UCHAR kCtAutoExposureMode = 0x02, kCtExposureTimeAbsolute = 0x04;

// Reads one value (under the device mutex) and sends it.
template <typename Read>
VOID SendUnder(StreamEngine* engine, UCHAR selector, UCHAR unit, ULONG bytes, Read read) {
  KsAcquireDevice(engine->device);
  UCHAR data[4] = {};
  if (read(data)) UnitRequest(engine, SET_CUR, selector, unit, data, bytes, FALSE);
  KsReleaseDevice(engine->device);
}

VOID PutLe(UCHAR* data, ULONG value, ULONG bytes) {
  for (ULONG i = 0; i < bytes; ++i) data[i] = UCHAR(value >> (8 * i));
}

}  // namespace

BOOLEAN ExposureTimeFor(LONG exposureValue, ULONG* time100us) {
  if (exposureValue < -14 || exposureValue > -1) return FALSE;
  *time100us = kExposureTimeTable[exposureValue + 14];
  return TRUE;
}

VOID RestoreControls(StreamEngine* engine) {
  EffectState* st = engine->effectState;
  if (!st || !engine->device) return;
  const UCHAR pu = engine->processingUnitId, ct = engine->cameraTerminalId;
  struct PuControl {
    ControlValue* value;
    UCHAR selector;
  };
  const PuControl pus[] = {
      {&st->powerLineFrequency, kPuPowerLine}, {&st->brightness, kPuBrightness},
      {&st->contrast, kPuContrast},            {&st->sharpness, kPuSharpness},
      {&st->hue, kPuHue},                      {&st->saturation, kPuSaturation},
      {&st->gamma, kPuGamma},                  {&st->backlightCompensation, kPuBacklight},
  };
  if (pu) {
    for (const PuControl& c : pus) {
      SendUnder(engine, c.selector, pu, 2, [&](UCHAR* d) {
        if (!LoadSetting(c.value->Supported)) return false;
        PutLe(d, ULONG(LoadSetting(c.value->Current)), 2);
        return true;
      });
    }
  }
  if (ct) {
    SendUnder(engine, kCtAutoExposureMode, ct, 1, [&](UCHAR* d) {
      if (!LoadSetting(st->exposureMode.AutoSupported) && !LoadSetting(st->exposure.Supported))
        return false;
      d[0] = UCHAR(LoadSetting(st->exposureMode.AutoCurrent) + 1);
      return true;
    });
    SendUnder(engine, kCtExposureTimeAbsolute, ct, 4, [&](UCHAR* d) {
      ULONG time;
      if (!LoadSetting(st->exposure.Supported) || LoadSetting(st->exposureMode.AutoCurrent) == 1 ||
          !ExposureTimeFor(LoadSetting(st->exposure.Current), &time))
        return false;
      PutLe(d, time, 4);
      return true;
    });
  }
  if (pu) {
    SendUnder(engine, kPuWhiteBalanceTemperatureAuto, pu, 1, [&](UCHAR* d) {
      if (!LoadSetting(st->whiteBalanceAuto.AutoSupported)) return false;
      d[0] = UCHAR(LoadSetting(st->whiteBalanceAuto.AutoCurrent));
      return true;
    });
    SendUnder(engine, kPuWhiteBalanceTemperature, pu, 2, [&](UCHAR* d) {
      if (!LoadSetting(st->whiteBalanceTemperature.Supported)) return false;
      PutLe(d, ULONG(LoadSetting(st->whiteBalanceTemperature.Current)), 2);
      return true;
    });
  }
  StoreSetting(engine->controlsApplied, 1);
}
