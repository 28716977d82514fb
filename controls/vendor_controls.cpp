// The vendor control set.
#include "controls/vendor_controls.h"

#include "usb/descriptor_walk.h"
#include "usb/usb_request.h"

namespace {

constexpr LONG kGainMaximum = 100;
constexpr ULONG kZoomMinimum = 16;  // 4x
constexpr ULONG kZoomWhole = 64;    // 1x
constexpr LONGLONG kPanStep = 1280;  // 20 pixels in 1/64 pixel
constexpr ULONG kFrameTagMaximum = 34;
constexpr ULONG kCameraOptionMaximum = 10;

// Vendor requests.
constexpr UCHAR kBridgeWrite = 0x00, kBridgeRead = 0x01, kMemoryBlock = 0x02, kMemoryCommand = 0x03;
constexpr UCHAR kDownloadChunkRequest = 0x07, kDownloadStart = 0x08;
constexpr UCHAR kLowLight = 0x5E, kGainAuto = 0x5F, kSensorWrite = 0x60, kSensorRead = 0x61;
constexpr UCHAR kRedGain = 0x69;  // green 0x6A, blue 0x6B
constexpr UCHAR kFrameTag = 0x8C, kStatusByte = 0xAA, kCameraOption = 0xB0, kSensorOption = 0xD1;
constexpr USHORT kVerifyBase = 0xA200;

UCHAR Low8(ULONG v) { return UCHAR(v & 0xFF); }
USHORT Low16(ULONG v) { return USHORT(v & 0xFFFF); }

NTSTATUS Command(const CameraControls& c, UCHAR request, USHORT value, USHORT index) {
  return VendorRequest(c.engine, request, value, index, nullptr, 0, FALSE);
}

// A device-to-host vendor request into a zeroed buffer; a short reply is a
// failure and leaves the buffer zero.
NTSTATUS ReadVendor(const CameraControls& c, UCHAR request, USHORT value, USHORT index, UCHAR* reply,
                    ULONG length) {
  RtlZeroMemory(reply, length);
  ULONG got = 0;
  NTSTATUS status = VendorRequest(c.engine, request, value, index, reply, length, TRUE, &got);
  if (NT_SUCCESS(status) && got >= length) return STATUS_SUCCESS;
  RtlZeroMemory(reply, length);
  return STATUS_UNSUCCESSFUL;
}

// The low 16 bits of an application value as the control reads them:
// sign-extended when its minimum is negative.
LONG From16(const ControlValue& control, ULONG value) {
  return control.Minimum < 0 ? LONG(SHORT(Low16(value))) : LONG(Low16(value));
}

// A refusal of SetProcAmp / SetCameraControl for a supported control is a
// value out of range.
NTSTATUS AsValueStatus(NTSTATUS status) {
  return status == STATUS_NOT_SUPPORTED ? STATUS_INVALID_PARAMETER : status;
}

ULONG ProcAmpFlags(const ControlSettings* s, ULONG id) {
  if (id == kProcAmpHue) return LoadSetting(s->hueAuto.AutoCurrent);
  if (id == kProcAmpWhiteBalance) return LoadSetting(s->whiteBalanceAuto.AutoCurrent);
  return kControlFlagManual;
}

// The standard control behind a camera-backed vendor item, or -1.
LONG ProcAmpOfItem(ULONG id) {
  switch (id) {
    case 9: return kProcAmpBrightness;
    case 10: return kProcAmpContrast;
    case 11: return kProcAmpHue;
    case 12: return kProcAmpSaturation;
    case 13: return kProcAmpSharpness;
    case 23: return kProcAmpGamma;
    case 66: return kProcAmpBacklightCompensation;
    default: return -1;
  }
}

VOID GetProcAmpItem(const ControlSettings* s, ULONG item, UCHAR op, VendorControlRequest* r) {
  const ControlValue& c = *ProcAmpControl(s, ULONG(ProcAmpOfItem(item)));
  if (op == 0) r->Result = LONG(c.Supported);
  if (op == 1 && item == 11) r->Result = LONG(LoadSetting(s->hueAuto.AutoCurrent));
  if (op == 2) r->Result = c.Minimum, r->Result2 = c.Maximum;
  if (op == 3) r->Result = LoadSetting(c.Current);
}

// Ids 9..13 and 23: Op 3 stores a value, Op 255 the default; every Op then
// sends the stored value. Hue's Op 1 switches its auto flag. Id 66 sends
// only on Op 3 and a changed Op 255.
NTSTATUS SetProcAmpItem(const CameraControls& c, ULONG item, UCHAR op, ULONG value) {
  ControlSettings* s = c.state;
  const ULONG id = ULONG(ProcAmpOfItem(item));
  const ControlValue& control = *ProcAmpControl(s, id);
  if (!control.Supported) return STATUS_NOT_SUPPORTED;
  LONG v = LoadSetting(control.Current);
  ULONG flags = ProcAmpFlags(s, id);
  if (item == 66) {
    if (op == 3) {
      v = LONG(value);
    } else if (op == 255 && v != control.Default) {
      v = control.Default;
    } else {
      return STATUS_SUCCESS;
    }
  } else if (op == 3) {
    v = From16(control, value);
  } else if (op == 255) {
    v = control.Default;
    if (id == kProcAmpHue) flags = s->hueAuto.AutoDefault;
  } else if (op == 1 && id == kProcAmpHue) {
    flags = Low16(value);
    if (!s->hueAuto.AutoSupported) return flags == kControlFlagManual ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
  }
  return AsValueStatus(SetProcAmp(c, id, v, flags));
}

// Id 5: 0/1 auto flag (Op 1), exposure value (Op 3), both defaults (Op 255).
NTSTATUS SetExposureItem(const CameraControls& c, UCHAR op, ULONG value) {
  ControlSettings* s = c.state;
  if (!s->exposure.Supported) return STATUS_NOT_SUPPORTED;
  LONG v = LoadSetting(s->exposure.Current);
  ULONG exposureAuto = LoadSetting(s->exposureMode.AutoCurrent);
  if (op == 1) {
    exposureAuto = Low16(value);
    if (exposureAuto > 1) return STATUS_INVALID_PARAMETER;
  } else if (op == 3) {
    v = From16(s->exposure, value);
  } else if (op == 255) {
    v = s->exposure.Default;
    exposureAuto = s->exposureMode.AutoDefault;
  } else {
    return STATUS_SUCCESS;
  }
  return AsValueStatus(
      SetCameraControl(c, kCameraControlExposure, v, exposureAuto ? kControlFlagAuto : kControlFlagManual));
}

// Id 7: 0 switches the filter off in the driver only; 1 and 2 go to the camera.
NTSTATUS SetAntiFlickerItem(const CameraControls& c, UCHAR op, ULONG value) {
  ControlValue& plf = c.state->powerLineFrequency;
  if (!plf.Supported) return STATUS_NOT_SUPPORTED;
  LONG v = op == 3 ? LONG(Low16(value)) : op == 255 ? plf.Default : LoadSetting(plf.Current);
  if (v == 0) {
    StoreSetting(plf.Current, 0);
    return STATUS_SUCCESS;
  }
  return AsValueStatus(SetProcAmp(c, kProcAmpPowerLineFrequency, v, kControlFlagManual));
}

ULONG* GainOf(ControlSettings* s, UCHAR index) {
  return index == 1 ? &s->redGain : index == 2 ? &s->greenGain : index == 3 ? &s->blueGain : nullptr;
}

NTSTATUS SetGainItem(const CameraControls& c, UCHAR op, UCHAR index, ULONG value) {
  ControlSettings* s = c.state;
  if (op == 1) {
    StoreSetting(s->whiteBalanceGainAuto, value);
    Command(c, kGainAuto, 0, Low8(value));
    if (value == 1)
      for (UCHAR i = 1; i <= 3; ++i) Command(c, UCHAR(kRedGain + i - 1), Low8(LoadSetting(*GainOf(s, i))), 0);
  } else if (op == 3) {
    ULONG* gain = GainOf(s, index);
    if (!gain) return STATUS_SUCCESS;
    if (value > ULONG(kGainMaximum)) return STATUS_INVALID_PARAMETER;
    StoreSetting(*gain, value);
    Command(c, UCHAR(kRedGain + index - 1), Low8(value), 0);
  } else if (op == 255) {
    if (LoadSetting(s->whiteBalanceGainAuto) != 0) {
      StoreSetting(s->whiteBalanceGainAuto, 0);
      Command(c, kGainAuto, 0, 0);
    }
    for (UCHAR i = 1; i <= 3; ++i) StoreSetting(*GainOf(s, i), 50);
  }
  return STATUS_SUCCESS;
}

// Zoom and pan, in the camera's input size (the size the chain zooms).
struct ZoomFrame {
  LONGLONG w, h;
};

ZoomFrame InputSize(const CameraControls& c) {
  const StreamEngine* e = c.engine;
  return e ? ZoomFrame{e->currentFormat.inputWidth, e->currentFormat.inputHeight} : ZoomFrame{0, 0};
}

// One pan step toward `forward` (right / down) or back, within the frame.
LONGLONG PanStep(LONGLONG pan, LONGLONG factor, LONGLONG size, bool forward) {
  if (forward) {
    if (pan + factor * size + kPanStep <= kZoomWhole * size) return pan + kPanStep;
    if (pan + factor * size < kZoomWhole * size) return kZoomWhole * size - factor * size;
    return pan;
  }
  if (pan - kPanStep >= 0) return pan - kPanStep;
  return pan > 0 ? 0 : pan;
}

// The pan after a zoom from `from` to `to`, kept inside the frame.
LONGLONG PanAfterZoom(LONGLONG pan, LONGLONG from, LONGLONG to, LONGLONG size) {
  pan += ((from - to) * size) / 2;
  if (pan + to * size > kZoomWhole * size) pan = kZoomWhole * size - to * size;
  return pan < 0 ? 0 : pan;
}

NTSTATUS SetZoomItem(const CameraControls& c, UCHAR op, ULONG value, const VendorStreamState& stream) {
  ZoomFrame f = InputSize(c);
  if (!stream.running || f.w < 1 || f.h < 1) return STATUS_SUCCESS;
  ZoomRecord& z = c.state->zoom;
  const LONGLONG factor = LoadSetting(z.zoomFactor);
  LONGLONG px = LoadSetting(z.panX), py = LoadSetting(z.panY);
  switch (op) {
    case 0:
      StoreSetting(z.digitalZoom, value);
      return STATUS_SUCCESS;
    case 2:
      if (value < kZoomMinimum || value > kZoomWhole) return STATUS_INVALID_PARAMETER;
      px = PanAfterZoom(px, factor, value, f.w);
      py = PanAfterZoom(py, factor, value, f.h);
      StoreSetting(z.panX, LONG(px));
      StoreSetting(z.panY, LONG(py));
      StoreSetting(z.zoomFactor, value);
      break;
    case 3:
    case 4: {
      if (value > 1) return STATUS_SUCCESS;
      bool horizontal = op == 3;
      LONGLONG& pan = horizontal ? px : py;
      pan = PanStep(pan, factor, horizontal ? f.w : f.h, value == 1);
      StoreSetting(horizontal ? z.panX : z.panY, LONG(pan));
      break;
    }
    case 255:
      StoreSetting(z.digitalZoom, 0);
      StoreSetting(z.zoomFactor, kZoomWhole);
      StoreSetting(z.panX, 0);
      StoreSetting(z.panY, 0);
      px = py = 0;
      break;
    default:
      return STATUS_SUCCESS;
  }
  StoreSetting(z.panXPercent, LONG(px * 100 / f.w));
  StoreSetting(z.panYPercent, LONG(py * 100 / f.h));
  return STATUS_SUCCESS;
}

VOID GetZoomItem(const CameraControls& c, UCHAR op, const VendorStreamState& stream, VendorControlRequest* r) {
  const ZoomRecord& z = c.state->zoom;
  ZoomFrame f = InputSize(c);
  const LONGLONG factor = LoadSetting(z.zoomFactor);
  const LONGLONG px = LoadSetting(z.panX), py = LoadSetting(z.panY);
  switch (op) {
    case 0: r->Result = LONG(LoadSetting(z.digitalZoom)); break;
    case 1: r->Result = kZoomMinimum, r->Result2 = kZoomWhole; break;
    case 2: r->Result = LONG(factor); break;
    case 3: r->Result = px > 0, r->Result2 = factor * f.w + px < kZoomWhole * f.w; break;
    case 4: r->Result = py > 0, r->Result2 = factor * f.h + py < kZoomWhole * f.h; break;
    case 5:
      if (stream.running && f.w >= 1 && f.h >= 1) {
        r->Result = LONG(px * 10000 / (kZoomWhole * f.w));
        r->Result2 = LONG(py * 10000 / (kZoomWhole * f.h));
      } else {
        r->Result = r->Result2 = 0;
      }
      break;
    default: break;
  }
}

VOID SetEffectItem(EffectWorkState* s, UCHAR op, UCHAR index, ULONG value) {
  SpecialEffectRecord& e = s->special;
  if (op == 3 && index != 0) {
    StoreSetting(e.overlayMode, value);
    ULONG effect = LoadSetting(e.specialEffect);
    if (value != 0 && (effect == 2 || effect == 7)) StoreSetting(e.specialEffect, 0);
  } else if (op == 3) {
    StoreSetting(e.specialEffect, value);
    if (value == 2 || value == 7) StoreSetting(e.overlayMode, 0);
  } else if (op == 255) {
    StoreSetting(e.specialEffect, 0);
    StoreSetting(e.overlayMode, 0);
  }
  if (index != 0) {
    StoreSetting(e.overlayLoaded, 0);
  } else {
    StoreSetting(e.gridCounter, 0);
    StoreSetting(e.gridTime, 0);
  }
}

// Id 3: the caller's image in 32-byte chunks from a pool copy, three chunks
// read back byte by byte, then the start command.
NTSTATUS Download(CameraControls& c, ULONG length, const VendorCallerBuffer* buffer) {
  const ULONG chunks = length / kDownloadChunk;
  if (chunks < 1 || chunks > kDownloadMaxChunks) return STATUS_INVALID_PARAMETER;
  const ULONG bytes = chunks * kDownloadChunk;
  if (!buffer || !buffer->Data || buffer->Length < bytes) return STATUS_INVALID_PARAMETER;
  auto* image = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kTagBuffer));
  if (!image) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(image, buffer->Data, bytes);
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < chunks && NT_SUCCESS(status); ++i)
    status = VendorRequest(c.engine, kDownloadChunkRequest, 0, USHORT(i), image + kDownloadChunk * i,
                           kDownloadChunk, FALSE);
  const ULONG verify[3] = {0, chunks / 2, chunks - 1};
  for (ULONG k : verify) {
    for (ULONG j = 0; j < kDownloadChunk && NT_SUCCESS(status); ++j) {
      UCHAR byte = 0;
      ULONG at = kDownloadChunk * k + j;
      status = ReadVendor(c, kBridgeRead, 0, USHORT(kVerifyBase + at), &byte, 1);
      if (NT_SUCCESS(status) && byte != image[at]) status = STATUS_UNSUCCESSFUL;
    }
  }
  ExFreePoolWithTag(image, kTagBuffer);
  if (!NT_SUCCESS(status)) return STATUS_UNSUCCESSFUL;
  WaitMilliseconds(50);
  Command(c, kDownloadStart, 0, 1);
  WaitMilliseconds(200);
  c.downloaded = 1;
  return STATUS_SUCCESS;
}

// Id 241 Operation 0: a block of up to 255 bytes between the camera and the
// caller's buffer, through a pool copy.
NTSTATUS MemoryBlock(const CameraControls& c, const VendorControlRequest* r, const VendorCallerBuffer* buffer,
                     bool read) {
  const ULONG length = Low8(r->Value);
  const USHORT block = Low16(r->Index);
  if (length && (!buffer || !buffer->Data || buffer->Length < length)) return STATUS_INVALID_PARAMETER;
  UCHAR copy[255];
  NTSTATUS status;
  if (read) {
    status = length ? ReadVendor(c, kMemoryBlock, USHORT(block * length), 0, copy, length)
                    : VendorRequest(c.engine, kMemoryBlock, 0, 0, nullptr, 0, TRUE);
    if (NT_SUCCESS(status) && length) RtlCopyMemory(buffer->Data, copy, length);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  }
  if (length) RtlCopyMemory(copy, buffer->Data, length);
  VendorRequest(c.engine, kMemoryBlock, 0, block, length ? copy : nullptr, length, FALSE);
  WaitMilliseconds(20);
  return STATUS_SUCCESS;
}

VOID GetOrientationItem(const ControlSettings* s, UCHAR op, UCHAR index, VendorControlRequest* r) {
  if (op != 3) return;
  if (index == 0) r->Result = LONG(LoadSetting(s->mirror));
  if (index == 1) r->Result = LONG(LoadSetting(s->verticalFlip));
  if (index == 2) r->Result = LONG(LoadSetting(s->lowLight));
}

}  // namespace

NTSTATUS VendorControlGet(CameraControls& c, VendorControlRequest* r, const VendorCallerBuffer* buffer,
                          const VendorStreamState& stream) {
  ControlSettings* s = c.state;
  const UCHAR op = Low8(r->Operation), index = Low8(r->Index);
  switch (r->Property.Id) {
    case 0: r->Result = 2; break;
    case 1: {
      UCHAR reply[2];
      NTSTATUS status = ReadVendor(c, kSensorRead, 0, USHORT((op << 8) | index), reply, 2);
      r->Result = ReadLe16(reply);
      return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    case 2: {
      UCHAR reply[8];
      NTSTATUS status = ReadVendor(c, kBridgeRead, 0, USHORT(0x100 | Low16(r->Operation)), reply, 8);
      r->Result = ReadLe16(reply);
      return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    case 4: GetOrientationItem(s, op, index, r); break;
    case 5:
      if (op == 1) r->Result = LONG(LoadSetting(s->exposureMode.AutoCurrent));
      if (op == 3) r->Result = LoadSetting(s->exposure.Current);
      break;
    case 6:
      if (op == 1) r->Result = LONG(LoadSetting(s->whiteBalanceGainAuto));
      if (op == 2) r->Result = 0, r->Result2 = kGainMaximum;
      if (op == 3 && GainOf(s, index)) r->Result = LONG(LoadSetting(*GainOf(s, index)));
      break;
    case 7:
      if (op == 3) r->Result = LoadSetting(s->powerLineFrequency.Current);
      break;
    case 8: r->Result = LONG(LoadSetting(s->specialColor)); break;
    case 9: case 10: case 11: case 12: case 13: case 23: case 66:
      GetProcAmpItem(s, r->Property.Id, op, r);
      break;
    case 14: r->Result = LONG(LoadSetting(s->autoContrast)); break;
    case 15:
      if (op == 3) r->Result = LONG(LoadSetting(c.effects->autoFraming.enabled));
      break;
    case 16: r->Result = LONG(LoadSetting(s->highFrameRateEnable)); break;
    case 17:
      if (op == 0) r->Result = LONG(LoadSetting(s->badPixelCorrection));
      if (op == 1) r->Result = LONG(LoadSetting(s->chromaSmoothing));
      break;
    case 20: GetZoomItem(c, op, stream, r); break;
    case 21:
      if (op == 3)
        r->Result = LONG(LoadSetting(index ? c.effects->special.overlayMode : c.effects->special.specialEffect));
      break;
    case 24: r->Result = LONG(LoadSetting(s->sensorOption)); break;
    case 48:
      if (op == 3) r->Result = LONG(LoadSetting(s->lowLightStatus));
      break;
    case 64: r->Result = LONG(LoadSetting(s->zoom640To1280)); break;
    case 65:
      if (op == 0) r->Result = LONG(LoadSetting(s->cameraOption));
      if (op == 1) r->Result = LONG(LoadSetting(s->cameraOptionNext));
      if (op == 2) r->Result = 0, r->Result2 = kCameraOptionMaximum;
      break;
    case 67: r->Result = LONG(LoadSetting(s->frameRateIndex)); break;
    case 68:
      if (op == 0) r->Result = 0;
      if (op == 1) r->Result = LoadSetting(s->deviceStartFlag) ? 1 : 0;
      break;
    case 80: r->Result = LONG(LoadSetting(s->rotation)); break;
    case 225: {
      // Read and clear in one step: a press between the two cannot be lost.
      LONG pressed = InterlockedExchange(reinterpret_cast<LONG volatile*>(c.buttonLatch), 0);
      r->Result = pressed ? 1 : 0;
      StoreSetting(*c.buttonPolled, 1);
      break;
    }
    case 226:
      if (op == 1 && c.engine) {
        r->Result = LONG(c.engine->currentFormat.outputWidth);
        r->Result2 = LONG(c.engine->currentFormat.outputHeight);
      }
      if (op == 2) r->Result = LONG(stream.running);
      break;
    case 234: {
      UCHAR byte = 0;
      NTSTATUS status = ReadVendor(c, kStatusByte, 0, 0, &byte, 1);
      WaitMilliseconds(10);
      r->Result = NT_SUCCESS(status) ? byte : 255;
      break;
    }
    case 236: r->Result = LONG(LoadSetting(s->applicationValue)); break;
    case 240: {
      FrameTagRecord& t = s->frameTag;
      switch (r->Operation) {
        case 0: r->Result = 1; break;
        case 1: r->Result = LONG(LoadSetting(t.tagMode)); break;
        case 2: r->Result = LONG(LoadSetting(t.tagValueB)); break;
        case 4: r->Result = 1, r->Result2 = kFrameTagMaximum; break;
        case 5: {
          ULONG tag = LoadSetting(t.frameTag);
          tag = tag < 1 ? 1 : tag > kFrameTagMaximum ? kFrameTagMaximum : tag;
          StoreSetting(t.frameTag, tag);
          r->Result = LONG(tag);
          Command(c, kFrameTag, USHORT(tag), 0);
          break;
        }
        case 7: r->Result = LONG(LoadSetting(t.tagValueC)); break;
        default: break;
      }
      break;
    }
    case 241:
      if (r->Operation == 0) return MemoryBlock(c, r, buffer, true);
      GetOrientationItem(s, op, index, r);
      break;
    default: break;
  }
  return STATUS_SUCCESS;
}

NTSTATUS VendorControlSet(CameraControls& c, VendorControlRequest* r, const VendorCallerBuffer* buffer,
                          const VendorStreamState& stream) {
  ControlSettings* s = c.state;
  const UCHAR op = Low8(r->Operation), index = Low8(r->Index);
  const ULONG value = r->Value;
  switch (r->Property.Id) {
    case 1: Command(c, kSensorWrite, Low16(value), USHORT((op << 8) | index)); break;
    case 2: Command(c, kBridgeWrite, Low16(r->Index), USHORT(0x100 | Low16(r->Operation))); break;
    case 3: return Download(c, r->Operation, buffer);
    case 4:
      if (op == 3 && index == 0) StoreSetting(s->mirror, value);
      if (op == 3 && index == 1) StoreSetting(s->verticalFlip, value);
      if (op == 3 && index == 2) {
        StoreSetting(s->lowLight, value);
        Command(c, kLowLight, 0, Low8(value));
        WaitMilliseconds(10);
      }
      if (op == 255) {
        StoreSetting(s->mirror, 0);
        StoreSetting(s->verticalFlip, 0);
        StoreSetting(s->lowLight, 0);
      }
      break;
    case 5: return SetExposureItem(c, op, value);
    case 6: return SetGainItem(c, op, index, value);
    case 7: return SetAntiFlickerItem(c, op, value);
    case 8:
      if (op == 3) StoreSetting(s->specialColor, value);
      if (op == 255) StoreSetting(s->specialColor, 0);
      break;
    case 9: case 10: case 11: case 12: case 13: case 23: case 66:
      return SetProcAmpItem(c, r->Property.Id, op, value);
    case 14:
      if (op == 3) StoreSetting(s->autoContrast, Low8(value));
      if (op == 255) StoreSetting(s->autoContrast, 0);
      break;
    case 15:
      if (op == 3) StoreSetting(c.effects->autoFraming.enabled, value);
      if (op == 255) StoreSetting(c.effects->autoFraming.enabled, 0);
      break;
    case 17:
      if (op == 0) StoreSetting(s->badPixelCorrection, value);
      if (op == 1) StoreSetting(s->chromaSmoothing, value);
      if (op == 255) {
        StoreSetting(s->badPixelCorrection, 0);
        StoreSetting(s->chromaSmoothing, 0);
      }
      break;
    case 20: return SetZoomItem(c, op, value, stream);
    case 21: SetEffectItem(c.effects, op, index, value); break;
    case 24:
      StoreSetting(s->sensorOption, Low8(value));
      Command(c, kSensorOption, Low8(value), 0);
      break;
    case 65:
      if (op == 0) {
        if (value > kCameraOptionMaximum) return STATUS_INVALID_PARAMETER;
        StoreSetting(s->cameraOption, value);
        Command(c, kCameraOption, Low8(value), 0);
      }
      if (op == 255 && LoadSetting(s->cameraOption) != 0) {
        StoreSetting(s->cameraOption, 0);
        Command(c, kCameraOption, 0, 0);
      }
      break;
    case 67: StoreSetting(s->requestedFrameRate, Low8(value)); break;
    case 236: StoreSetting(s->applicationValue, value); break;
    case 240: {
      FrameTagRecord& t = s->frameTag;
      switch (r->Operation) {
        case 1:
          StoreSetting(t.tagMode, value);
          if (value == 1) StoreSetting(t.tagCounter, 0);
          break;
        case 2: StoreSetting(t.tagValueB, value); break;
        case 4:
          StoreSetting(t.tagMode, 0);
          StoreSetting(t.frameTag, value);
          Command(c, kFrameTag, Low16(value), 0);
          break;
        case 5: StoreSetting(t.tagValueC, value); break;
        case 255:
          StoreSetting(t.tagMode, 1);
          StoreSetting(t.tagValueB, 0);
          break;
        default: break;
      }
      break;
    }
    case 241:
      if (r->Operation == 0) return MemoryBlock(c, r, buffer, false);
      if (r->Operation == 1) {
        Command(c, kMemoryCommand, 0, 1);
        WaitMilliseconds(200);
      }
      break;
    case 255:
      if (value == 2) {
        StoreSetting(s->zoom.digitalZoom, 0);
        StoreSetting(s->zoom.zoomFactor, kZoomWhole);
        StoreSetting(c.effects->special.specialEffect, 0);
        StoreSetting(c.effects->special.overlayMode, 0);
      }
      break;
    default: break;
  }
  return STATUS_SUCCESS;
}
