// Walks a configuration descriptor into a CameraLayout. The input may come
// from an untrusted file, so every length is checked before a byte is read
// and every refusal says where and why.
#include <cstdio>
#include <set>

#include "camera/camera_internal.h"

namespace camera {

namespace {

std::string Format(const char* fmt, unsigned a = 0, unsigned b = 0, unsigned c = 0) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, fmt, a, b, c);
  return buffer;
}

bool Fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

enum class Context { kNone, kControl, kStreaming, kOther };

// Format descriptors of kinds the camera does not negotiate: MPEG-2 TS, DV,
// stream-based, H.264 and its simulcast, VP8 and its simulcast.
bool IsOtherFormat(uint8_t subtype) {
  return subtype == 0x0A || subtype == 0x0C || subtype == 0x12 || subtype == 0x13 ||
         subtype == 0x15 || subtype == 0x16 || subtype == 0x18;
}

}  // namespace

uint32_t EffectivePacketSize(uint16_t wMaxPacketSize) {
  return uint32_t(wMaxPacketSize & 0x7FF) * (1u + ((wMaxPacketSize >> 11) & 3u));
}

bool ParseConfiguration(const std::vector<uint8_t>& configuration, CameraLayout* layout,
                        std::string* error) {
  *layout = CameraLayout();
  const uint8_t* d = configuration.data();
  const size_t size = configuration.size();
  if (size < 9)
    return Fail(error,
                Format("configuration descriptor: %u bytes, at least 9 needed", unsigned(size)));
  if (d[0] < 9 || d[1] != kDescConfiguration)
    return Fail(
        error,
        Format(
            "configuration descriptor: bLength %u, bDescriptorType %u (expected at least 9 and 2)",
            d[0], d[1]));
  const uint32_t total = Le16(d + 2);
  if (total < 9)
    return Fail(error, Format("configuration descriptor: wTotalLength %u is below 9", total));
  if (total > size)
    return Fail(error,
                Format("configuration descriptor truncated: wTotalLength %u but only %u bytes",
                       total, unsigned(size)));
  layout->configurationValue = d[5];

  Context context = Context::kNone;
  bool haveControl = false, haveStreaming = false;
  uint8_t interfaceNumber = 0, alternate = 0;
  int declaredFormats = -1;
  std::set<uint8_t> entityIds;
  FormatInfo* format = nullptr;
  uint32_t declaredFrames = 0;
  uint8_t formatSubtype = 0;
  uint32_t otherFormats = 0;

  auto closeFormat = [&](std::string* err) {
    if (format && format->frames.size() != declaredFrames)
      return Fail(err, Format("format %u declares %u frame descriptors but has %u", format->index,
                              declaredFrames, unsigned(format->frames.size())));
    return true;
  };

  for (uint32_t off = 9; off < total;) {
    if (total - off < 2)
      return Fail(error, Format("descriptor at offset %u truncated (1 byte left)", off));
    const uint8_t len = d[off];
    const uint8_t type = d[off + 1];
    if (len < 2) return Fail(error, Format("descriptor at offset %u has bLength %u", off, len));
    if (len > total - off)
      return Fail(error, Format("descriptor at offset %u (bLength %u) runs past the end at %u", off,
                                len, total));
    const uint8_t* p = d + off;

    if (type == kDescInterface) {
      if (len < 9)
        return Fail(error,
                    Format("interface descriptor at offset %u: bLength %u below 9", off, len));
      interfaceNumber = p[2];
      alternate = p[3];
      layout->interfaceSettings.emplace_back(interfaceNumber, alternate);
      if (p[5] == kClassVideo && p[6] == kSubclassControl) {
        if (!haveControl) {
          haveControl = true;
          layout->controlInterface = interfaceNumber;
        }
        context = interfaceNumber == layout->controlInterface ? Context::kControl : Context::kOther;
      } else if (p[5] == kClassVideo && p[6] == kSubclassStreaming) {
        if (!haveStreaming) {
          haveStreaming = true;
          layout->streamingInterface = interfaceNumber;
        }
        context =
            interfaceNumber == layout->streamingInterface ? Context::kStreaming : Context::kOther;
      } else {
        context = Context::kOther;
      }
    } else if (type == kDescEndpoint) {
      if (len < 7)
        return Fail(error,
                    Format("endpoint descriptor at offset %u: bLength %u below 7", off, len));
      const uint8_t address = p[2], attributes = p[3] & 3;
      const uint16_t packet = Le16(p + 4);
      if (context == Context::kControl && attributes == 3 && (address & 0x80) &&
          !layout->hasInterruptEndpoint) {
        layout->hasInterruptEndpoint = true;
        layout->interruptEndpoint = address;
      } else if (context == Context::kStreaming) {
        if (attributes == 2 && alternate == 0 && !layout->bulk) {
          layout->bulk = true;
          layout->bulkMaxPacketSize = packet;
          layout->streamingEndpoint = address;
        } else if (attributes == 1 && alternate != 0) {
          if (EffectivePacketSize(packet) == 0)
            return Fail(error,
                        Format("isochronous endpoint of alternate setting %u has wMaxPacketSize 0",
                               alternate));
          layout->isoAlternateSettings.emplace_back(alternate, packet);
          layout->streamingEndpoint = address;
        }
      }
    } else if (type == kDescCsInterface && len >= 3 && context == Context::kControl) {
      const uint8_t subtype = p[2];
      if (subtype == kVcInputTerminal || subtype == kVcProcessingUnit ||
          subtype == kVcExtensionUnit || subtype == kVcOutputTerminal ||
          subtype == kVcSelectorUnit) {
        if (len < 4)
          return Fail(error, Format("unit descriptor at offset %u too short (%u bytes)", off, len));
        EntityInfo entity;
        entity.id = p[3];
        entity.subtype = subtype;
        if (entity.id == 0)
          return Fail(error, Format("unit or terminal at offset %u has id 0", off));
        if (!entityIds.insert(entity.id).second)
          return Fail(error,
                      Format("unit or terminal id %u used twice (offset %u)", entity.id, off));
        if (subtype == kVcInputTerminal) {
          if (len < 8)
            return Fail(error, Format("input terminal at offset %u: bLength %u below 8", off, len));
          if (Le16(p + 4) == 0x0201) {  // camera sensor
            if (len < 15)
              return Fail(error,
                          Format("camera terminal at offset %u: bLength %u below 15", off, len));
            const uint32_t n = p[14];
            if (15 + n > len)
              return Fail(error,
                          Format("camera terminal at offset %u: bControlSize %u exceeds bLength %u",
                                 off, n, len));
            for (uint32_t i = 0; i < n && i < 4; ++i)
              entity.bmControls |= uint32_t(p[15 + i]) << (8 * i);
          }
        } else if (subtype == kVcProcessingUnit) {
          if (len < 8)
            return Fail(error,
                        Format("processing unit at offset %u: bLength %u below 8", off, len));
          const uint32_t n = p[7];
          if (8 + n > len)
            return Fail(error,
                        Format("processing unit at offset %u: bControlSize %u exceeds bLength %u",
                               off, n, len));
          for (uint32_t i = 0; i < n && i < 4; ++i)
            entity.bmControls |= uint32_t(p[8 + i]) << (8 * i);
        } else if (subtype == kVcExtensionUnit) {
          if (len < 24)
            return Fail(error,
                        Format("extension unit at offset %u: bLength %u below 24", off, len));
          const uint32_t pins = p[21];
          if (23 + pins > len)
            return Fail(error,
                        Format("extension unit at offset %u: %u input pins exceed bLength %u", off,
                               pins, len));
          const uint32_t n = p[22 + pins];
          if (23 + pins + n > len)
            return Fail(error,
                        Format("extension unit at offset %u: bControlSize %u exceeds bLength %u",
                               off, n, len));
          for (uint32_t i = 0; i < n && i < 4; ++i)
            entity.bmControls |= uint32_t(p[23 + pins + i]) << (8 * i);
          for (int i = 0; i < 16; ++i) entity.guid[i] = p[4 + i];
        }
        layout->entities.push_back(entity);
      }
    } else if (type == kDescCsInterface && len >= 3 && context == Context::kStreaming) {
      const uint8_t subtype = p[2];
      if (subtype == kVsInputHeader) {
        if (len < 13)
          return Fail(error, Format("input header at offset %u: bLength %u below 13", off, len));
        if (declaredFormats >= 0)
          return Fail(error, Format("second input header at offset %u", off));
        declaredFormats = p[3];
        layout->stillCaptureMethod = p[9];
      } else if (subtype == kVsFormatUncompressed || subtype == kVsFormatMjpeg ||
                 subtype == kVsFormatFrameBased) {
        if (declaredFormats < 0)
          return Fail(error, Format("format descriptor at offset %u before the input header", off));
        const uint32_t need = subtype == kVsFormatMjpeg          ? 11
                              : subtype == kVsFormatUncompressed ? 27
                                                                 : 28;
        if (len < need)
          return Fail(
              error, Format("format descriptor at offset %u: bLength %u below %u", off, len, need));
        if (!closeFormat(error)) return false;
        FormatInfo info;
        info.index = p[3];
        declaredFrames = p[4];
        formatSubtype = subtype;
        if (subtype == kVsFormatMjpeg) {
          info.kind = FormatKind::kMjpeg;
          info.defaultFrameIndex = p[6];
        } else {
          info.kind = subtype == kVsFormatUncompressed ? FormatKind::kUncompressed
                                                       : FormatKind::kFrameBased;
          for (int i = 0; i < 16; ++i) info.guid[i] = p[5 + i];
          info.bitsPerPixel = p[21];
          info.defaultFrameIndex = p[22];
        }
        for (const FormatInfo& other : layout->formats)
          if (other.index == info.index)
            return Fail(error, Format("format index %u used twice", info.index));
        if (info.index == 0)
          return Fail(error, Format("format descriptor at offset %u has index 0", off));
        layout->formats.push_back(info);
        format = &layout->formats.back();
      } else if (subtype == kVsFrameUncompressed || subtype == kVsFrameMjpeg ||
                 subtype == kVsFrameFrameBased) {
        const uint8_t expected = formatSubtype == kVsFormatUncompressed ? kVsFrameUncompressed
                                 : formatSubtype == kVsFormatMjpeg      ? kVsFrameMjpeg
                                                                        : kVsFrameFrameBased;
        if (!format && IsOtherFormat(formatSubtype))
          return Fail(
              error,
              Format("frame descriptor at offset %u (subtype %u) follows a format of subtype %u",
                     off, subtype, formatSubtype));
        if (!format || subtype != expected)
          return Fail(
              error,
              Format("frame descriptor at offset %u (subtype %u) does not follow a matching format",
                     off, subtype));
        if (len < 26)
          return Fail(error,
                      Format("frame descriptor at offset %u: bLength %u below 26", off, len));
        FrameInfo frame;
        frame.index = p[3];
        frame.width = Le16(p + 5);
        frame.height = Le16(p + 7);
        uint32_t intervalType;
        if (subtype == kVsFrameFrameBased) {
          frame.defaultInterval = Le32(p + 17);
          intervalType = p[21];
        } else {
          frame.maxFrameBufferSize = Le32(p + 17);
          frame.defaultInterval = Le32(p + 21);
          intervalType = p[25];
        }
        if (frame.index == 0 || frame.width == 0 || frame.height == 0)
          return Fail(error,
                      Format("frame descriptor at offset %u: index %u, width %u", off, frame.index,
                             frame.width) +
                          Format(", height %u (none may be 0)", frame.height));
        for (const FrameInfo& other : format->frames)
          if (other.index == frame.index)
            return Fail(error,
                        Format("format %u: frame index %u used twice", format->index, frame.index));
        if (intervalType == 0) {
          if (len < 38)
            return Fail(
                error,
                Format(
                    "frame descriptor at offset %u: continuous intervals need 38 bytes, bLength %u",
                    off, len));
          frame.minInterval = Le32(p + 26);
          frame.maxInterval = Le32(p + 30);
          frame.intervalStep = Le32(p + 34);
          if (frame.minInterval == 0 || frame.maxInterval < frame.minInterval)
            return Fail(error, Format("frame descriptor at offset %u: interval range %u..%u", off,
                                      frame.minInterval, frame.maxInterval));
        } else {
          if (26 + 4 * intervalType > len)
            return Fail(error,
                        Format("frame descriptor at offset %u: %u intervals exceed bLength %u", off,
                               intervalType, len));
          for (uint32_t i = 0; i < intervalType; ++i) {
            const uint32_t interval = Le32(p + 26 + 4 * i);
            if (interval == 0)
              return Fail(error, Format("frame descriptor at offset %u: interval %u is 0", off, i));
            frame.intervals.push_back(interval);
          }
        }
        if (frame.defaultInterval == 0) {
          frame.defaultInterval = intervalType == 0 ? frame.minInterval : frame.intervals[0];
        }
        format->frames.push_back(frame);
        if (format->frames.size() > declaredFrames)
          return Fail(error, Format("format %u declares %u frame descriptors but has more",
                                    format->index, declaredFrames));
      } else if (IsOtherFormat(subtype)) {
        // Formats the camera cannot negotiate (transport streams, DV,
        // stream-based, H.264, VP8): counted against the input header, their
        // frames skipped, a probe naming them refused.
        if (declaredFormats < 0)
          return Fail(error, Format("format descriptor at offset %u before the input header", off));
        if (!closeFormat(error)) return false;
        format = nullptr;
        formatSubtype = subtype;
        ++otherFormats;
      } else if (subtype == kVsStillImageFrame) {
        if (!format && IsOtherFormat(formatSubtype)) {
          off += len;
          continue;
        }
        if (!format)
          return Fail(error, Format("still image descriptor at offset %u before any format", off));
        if (len < 5)
          return Fail(error,
                      Format("still image descriptor at offset %u: bLength %u below 5", off, len));
        const uint32_t n = p[4];
        if (5 + 4 * n > len)
          return Fail(error,
                      Format("still image descriptor at offset %u: %u sizes exceed bLength %u", off,
                             n, len));
        format->stillSizes.clear();
        for (uint32_t i = 0; i < n; ++i) {
          const uint16_t w = Le16(p + 5 + 4 * i), h = Le16(p + 7 + 4 * i);
          if (w == 0 || h == 0)
            return Fail(error,
                        Format("still image descriptor at offset %u: size %u is empty", off, i));
          format->stillSizes.emplace_back(w, h);
        }
      }
    }
    off += len;
  }

  if (!closeFormat(error)) return false;
  if (!haveControl) return Fail(error, "no video-control interface (class 14, subclass 1)");
  if (!haveStreaming) return Fail(error, "no video-streaming interface (class 14, subclass 2)");
  if (declaredFormats < 0) return Fail(error, "the video-streaming interface has no input header");
  if (layout->formats.empty())
    return Fail(error,
                "the video-streaming interface has no uncompressed, MJPEG or frame-based format");
  // Real cameras may declare more formats than follow; the driver walks what
  // is there, so only a header declaring fewer than follow is refused.
  if (size_t(declaredFormats) < layout->formats.size() + otherFormats)
    return Fail(error,
                Format("input header declares %u formats but %u follow", unsigned(declaredFormats),
                       unsigned(layout->formats.size() + otherFormats)));
  for (const FormatInfo& f : layout->formats) {
    if (f.frames.empty()) return Fail(error, Format("format %u has no frames", f.index));
  }
  if (!layout->bulk && layout->isoAlternateSettings.empty())
    return Fail(error, "the video-streaming interface has no bulk or isochronous IN endpoint");
  return true;
}

}  // namespace camera
