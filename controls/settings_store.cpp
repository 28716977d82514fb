// Settings persistence in the device's driver key.
#include "controls/settings_store.h"

#include <cstddef>

namespace {

constexpr ACCESS_MASK kKeyAccess = 0x1F0000;
constexpr ULONG kQueryBufferSize = 512;
constexpr ULONG kMaxNameLength = 63;

// Widens `name` into `wide` as a counted name.
VOID WideName(const CHAR* name, WCHAR (&wide)[kMaxNameLength + 1], UNICODE_STRING* valueName) {
  ULONG n = 0;
  while (name[n] && n < kMaxNameLength) {
    wide[n] = WCHAR(UCHAR(name[n]));
    ++n;
  }
  wide[n] = 0;
  valueName->Length = USHORT(n * sizeof(WCHAR));
  valueName->MaximumLength = USHORT((n + 1) * sizeof(WCHAR));
  valueName->Buffer = wide;
}

// Opens the driver key and widens `name` into `wide`; the caller closes.
NTSTATUS OpenValue(PDEVICE_OBJECT physicalDevice, const CHAR* name, WCHAR (&wide)[kMaxNameLength + 1],
                   UNICODE_STRING* valueName, HANDLE* key) {
  WideName(name, wide, valueName);
  return IoOpenDeviceRegistryKey(physicalDevice, PLUGPLAY_REGKEY_DRIVER, kKeyAccess, key);
}

NTSTATUS SetValue(HANDLE key, const CHAR* name, ULONG value) {
  WCHAR wide[kMaxNameLength + 1];
  UNICODE_STRING valueName;
  WideName(name, wide, &valueName);
  return ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof value);
}

}  // namespace

NTSTATUS ReadSetting(PDEVICE_OBJECT physicalDevice, const CHAR* name, ULONG* field) {
  WCHAR wide[kMaxNameLength + 1];
  UNICODE_STRING valueName;
  HANDLE key = nullptr;
  NTSTATUS status = OpenValue(physicalDevice, name, wide, &valueName, &key);
  if (!NT_SUCCESS(status)) return status;
  // The answer block lives on the stack, aligned for its header.
  alignas(8) UCHAR block[kQueryBufferSize];
  RtlZeroMemory(block, sizeof block);
  ULONG resultLength = 0;
  status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, block, sizeof block, &resultLength);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return status;
  constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const auto* info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(block);
  ULONG returned = resultLength < sizeof block ? resultLength : ULONG(sizeof block);
  if (returned < kHeader || info->DataLength < sizeof(ULONG) || info->DataLength > returned - kHeader)
    return STATUS_OBJECT_NAME_NOT_FOUND;  // a broken value counts as absent
  ULONG value;
  RtlCopyMemory(&value, info->Data, sizeof value);
  *field = value;
  return STATUS_SUCCESS;
}

NTSTATUS WriteSetting(PDEVICE_OBJECT physicalDevice, const CHAR* name, ULONG value) {
  HANDLE key = nullptr;
  NTSTATUS status = IoOpenDeviceRegistryKey(physicalDevice, PLUGPLAY_REGKEY_DRIVER, kKeyAccess, &key);
  if (!NT_SUCCESS(status)) return status;
  status = SetValue(key, name, value);
  if (NT_SUCCESS(status)) status = ZwFlushKey(key);
  ZwClose(key);
  return status;
}

VOID LoadSettings(PDEVICE_OBJECT physicalDevice, ControlSettings* s, EffectWorkState* effects) {
  ULONG value = 0;
  StoreSetting(s->mirror, NT_SUCCESS(ReadSetting(physicalDevice, "Mirror", &value)) ? value : 0);
  value = 0;
  StoreSetting(s->verticalFlip, NT_SUCCESS(ReadSetting(physicalDevice, "Vertical Flip", &value)) ? value : 0);

  StoreSetting(effects->autoFraming.enabled, 0);
  StoreSetting(s->whiteBalanceGainAuto, 0);
  StoreSetting(s->redGain, 50);
  StoreSetting(s->greenGain, 50);
  StoreSetting(s->blueGain, 50);
  StoreSetting(s->applicationValue, 0);
  StoreSetting(s->twoDMappingEnable, 0);
  StoreSetting(effects->special.specialEffect, 0);
  StoreSetting(effects->special.overlayMode, 0);
  StoreSetting(s->deviceStartFlag, 1);
  StoreSetting(s->lowLight, 0);
  StoreSetting(s->badPixelCorrection, 0);
  StoreSetting(s->chromaSmoothing, 0);
  StoreSetting(s->cameraOption, 0);

  FrameTagRecord& tag = s->frameTag;
  KeInitializeEvent(&tag.event, NotificationEvent, FALSE);
  StoreSetting(tag.tagMode, 1);
  StoreSetting(tag.frameTag, 8);
  StoreSetting(tag.tagValueB, 0);
  StoreSetting(tag.tagValueC, 8);
  StoreSetting(tag.tagCounter, 0);
  for (ULONG& r : tag.reserved) StoreSetting(r, 0);

  ZoomRecord& zoom = s->zoom;
  StoreSetting(zoom.digitalZoom, 0);
  StoreSetting(zoom.zoomFactor, 64);
  StoreSetting(zoom.panX, 0);
  StoreSetting(zoom.panY, 0);

  StoreSetting(s->zoomPreset, 0);
  StoreSetting(s->zoomPresetReserved, 0);
}

NTSTATUS SaveSettings(PDEVICE_OBJECT physicalDevice, const ControlSettings* s, const CHAR** failedValue) {
  auto word = [](const LONG& field) { return ULONG(LoadSetting(field)); };
  auto uword = [](const ULONG& field) { return LoadSetting(field); };
  const struct {
    const CHAR* name;
    ULONG value;
  } values[] = {
      {"Mirror", uword(s->mirror)},
      {"Vertical Flip", uword(s->verticalFlip)},
      {"Low Light", uword(s->lowLight)},
      {"Anti Flicker", word(s->powerLineFrequency.Current)},
      {"Indoor Outdoor", uword(s->indoorOutdoor)},
      {"Special Color", uword(s->specialColor)},
      {"BPC Enable", uword(s->badPixelCorrection)},
      {"Back Light", word(s->backlightCompensation.Current)},
      {"Zoom 640 to 1280", uword(s->zoom640To1280)},
      {"High frame rate enable", uword(s->highFrameRateEnable)},
      {"Auto Contrast Flag", uword(s->autoContrast)},
      {"Noise filter", uword(s->noiseFilter)},
      {"FrameRate Index", uword(s->frameRateIndex)},
      {"Exposure Auto", uword(s->exposureMode.AutoCurrent)},
      {"Exposure", word(s->exposure.Current)},
      {"AE Target", uword(s->aeTarget)},
      {"AE Gain", uword(s->aeGain)},
      {"White Balance RGB Gain Auto", uword(s->whiteBalanceGainAuto)},
      {"White Balance RGain", uword(s->redGain)},
      {"White Balance GGain", uword(s->greenGain)},
      {"White Balance BGain", uword(s->blueGain)},
      {"Brightness Auto", uword(s->brightness.Auto)},
      {"Brightness", word(s->brightness.Current)},
      {"Contrast Auto", uword(s->contrast.Auto)},
      {"Contrast", word(s->contrast.Current)},
      {"Hue Auto", uword(s->hueAuto.AutoCurrent)},
      {"Hue", word(s->hue.Current)},
      {"Saturation Auto", uword(s->saturation.Auto)},
      {"Saturation", word(s->saturation.Current)},
      {"Sharpness Auto", uword(s->sharpness.Auto)},
      {"Sharpness", word(s->sharpness.Current)},
      {"Gamma Auto", uword(s->gamma.Auto)},
      {"Gamma", word(s->gamma.Current)},
      {"WhiteBalance_TFlags", uword(s->whiteBalanceAuto.AutoCurrent)},
      {"WhiteBalance_T", word(s->whiteBalanceTemperature.Current)},
  };
  static_assert(sizeof values / sizeof values[0] == 35, "35 saved settings");
  // One open of the key for the whole save: the values reach the key's
  // store together (all or none), and another writer's save never
  // interleaves with this one.
  if (failedValue) *failedValue = values[0].name;
  HANDLE key = nullptr;
  NTSTATUS status = IoOpenDeviceRegistryKey(physicalDevice, PLUGPLAY_REGKEY_DRIVER, kKeyAccess, &key);
  if (!NT_SUCCESS(status)) return status;
  const CHAR* failed = nullptr;
  for (const auto& v : values) {
    status = SetValue(key, v.name, v.value);
    if (!NT_SUCCESS(status)) {
      failed = v.name;  // the key cannot take values: the rest would fail alike
      break;
    }
  }
  const NTSTATUS flush = ZwFlushKey(key);
  ZwClose(key);
  if (!failed && !NT_SUCCESS(flush)) failed = values[0].name, status = flush;
  if (failedValue) *failedValue = failed;
  return failed ? status : STATUS_SUCCESS;
}
