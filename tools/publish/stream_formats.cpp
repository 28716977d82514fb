#include "tools/publish/stream_formats.h"

#include <spa/param/format.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/parser.h>

#include <algorithm>
#include <cstring>

#include "media/frame_format.h"
#include "public/uvccam_public.h"

namespace publish {

namespace {

constexpr int64_t k100nsPerSecond = 10000000;

// The PipeWire name of a pin subtype; false for a subtype PipeWire has no
// name for here.
bool SpaFormatOf(const GUID& subtype, uint32_t* mediaSubtype, uint32_t* videoFormat) {
  *mediaSubtype = SPA_MEDIA_SUBTYPE_raw;
  if (IsEqualGUID(subtype, kSubtypeYuy2)) *videoFormat = SPA_VIDEO_FORMAT_YUY2;
  else if (IsEqualGUID(subtype, kSubtypeUyvy)) *videoFormat = SPA_VIDEO_FORMAT_UYVY;
  else if (IsEqualGUID(subtype, kSubtypeI420)) *videoFormat = SPA_VIDEO_FORMAT_I420;
  // The pin's RGB24 is a DIB: B, G, R bytes per pixel, which PipeWire calls BGR.
  else if (IsEqualGUID(subtype, kSubtypeRgb24)) *videoFormat = SPA_VIDEO_FORMAT_BGR;
  else if (IsEqualGUID(subtype, kSubtypeMjpg)) {
    *mediaSubtype = SPA_MEDIA_SUBTYPE_mjpg;
    *videoFormat = SPA_VIDEO_FORMAT_UNKNOWN;
  } else {
    return false;
  }
  return true;
}

uint32_t StrideOf(const Offer& o) {
  switch (o.videoFormat) {
    case SPA_VIDEO_FORMAT_YUY2:
    case SPA_VIDEO_FORMAT_UYVY: return o.width * 2;
    case SPA_VIDEO_FORMAT_I420: return o.width;
    case SPA_VIDEO_FORMAT_BGR: return (o.width * 3 + 3) & ~3u;  // DIB rows keep their 4-byte padding
    default: return 0;
  }
}

}  // namespace

std::vector<Offer> OffersFor(const std::vector<client::PinInfo>& pins, const Request& q,
                             std::string* error) {
  std::vector<Offer> offers;
  bool sized = false, typed = false;
  for (const client::PinInfo& pin : pins) {
    if (pin.id != kCapturePinId) continue;
    for (const KS_DATARANGE_VIDEO& r : pin.ranges) {
      Offer o;
      const LONG h = r.VideoInfoHeader.bmiHeader.biHeight;
      o.width = uint32_t(r.VideoInfoHeader.bmiHeader.biWidth);
      o.height = uint32_t(h < 0 ? -h : h);
      o.subtype = r.DataRange.SubFormat;
      if (!SpaFormatOf(o.subtype, &o.mediaSubtype, &o.videoFormat)) continue;
      if (q.width != 0 && (o.width != q.width || o.height != q.height)) continue;
      sized = true;
      if (q.subtype != nullptr && !IsEqualGUID(o.subtype, *q.subtype)) continue;
      typed = true;
      o.minInterval = r.ConfigCaps.MinFrameInterval;
      o.maxInterval = r.ConfigCaps.MaxFrameInterval;
      o.defaultInterval = r.VideoInfoHeader.AvgTimePerFrame;
      if (o.minInterval <= 0 || o.maxInterval < o.minInterval) continue;
      if (q.fps != 0) {
        const int64_t want = IntervalOfRate({q.fps, 1});
        if (want < o.minInterval || want > o.maxInterval) continue;
      }
      if (o.defaultInterval < o.minInterval || o.defaultInterval > o.maxInterval)
        o.defaultInterval = o.minInterval;
      o.frameBytes = std::max<uint32_t>(r.VideoInfoHeader.bmiHeader.biSizeImage, r.DataRange.SampleSize);
      o.bottomUp = o.videoFormat == SPA_VIDEO_FORMAT_BGR && h > 0;
      o.stride = StrideOf(o);
      bool seen = false;
      for (const Offer& e : offers)
        seen = seen || (e.width == o.width && e.height == o.height && IsEqualGUID(e.subtype, o.subtype));
      if (!seen) offers.push_back(o);
    }
  }
  if (offers.empty()) {
    std::string what;
    if (q.width != 0) what = std::to_string(q.width) + "x" + std::to_string(q.height);
    if (q.subtype != nullptr && (sized || q.width == 0))
      what += (what.empty() ? "" : " ") + client::SubtypeName(*q.subtype);
    if (q.fps != 0 && typed) what += (what.empty() ? "" : " ") + std::string("format at ") + std::to_string(q.fps) + " fps";
    *error = what.empty() ? "the camera offers no capture format PipeWire can carry"
                          : "the camera offers no " + what + (q.fps != 0 && typed ? "" : " capture format") +
                                " (uvccam formats lists them)";
  }
  return offers;
}

Rate RateOfInterval(int64_t interval) {
  if (interval <= 0) return {0, 1};
  const int64_t whole = (k100nsPerSecond + interval / 2) / interval;
  if (whole > 0 && (k100nsPerSecond + whole / 2) / whole == interval) return {uint32_t(whole), 1};
  return {uint32_t(k100nsPerSecond), uint32_t(interval)};
}

int64_t IntervalOfRate(Rate r) {
  if (r.num == 0) return 0;
  return (int64_t(r.denom) * k100nsPerSecond + r.num / 2) / r.num;
}

const spa_pod* BuildFormat(spa_pod_builder* b, const Offer& o, uint32_t fps) {
  spa_pod_frame f;
  spa_pod_builder_push_object(b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), 0);
  spa_pod_builder_add(b, SPA_FORMAT_mediaSubtype, SPA_POD_Id(o.mediaSubtype), 0);
  if (o.mediaSubtype == SPA_MEDIA_SUBTYPE_raw)
    spa_pod_builder_add(b, SPA_FORMAT_VIDEO_format, SPA_POD_Id(o.videoFormat), 0);
  const spa_rectangle size{o.width, o.height};
  spa_pod_builder_add(b, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), 0);
  if (fps != 0) {
    const spa_fraction rate{fps, 1};
    spa_pod_builder_add(b, SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate), 0);
  } else {
    // The fastest rate is the shortest interval.
    const Rate d = RateOfInterval(o.defaultInterval), lo = RateOfInterval(o.maxInterval),
               hi = RateOfInterval(o.minInterval);
    const spa_fraction def{d.num, d.denom}, min{lo.num, lo.denom}, max{hi.num, hi.denom};
    spa_pod_builder_add(b, SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&def, &min, &max), 0);
  }
  return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &f));
}

bool MatchFormat(const spa_pod* format, const std::vector<Offer>& offers, size_t* index,
                 int64_t* interval) {
  uint32_t mediaType = 0, mediaSubtype = 0;
  if (format == nullptr || spa_format_parse(format, &mediaType, &mediaSubtype) < 0 ||
      mediaType != SPA_MEDIA_TYPE_video)
    return false;
  spa_rectangle size{0, 0};
  spa_fraction rate{0, 1};
  uint32_t videoFormat = SPA_VIDEO_FORMAT_UNKNOWN;
  if (mediaSubtype == SPA_MEDIA_SUBTYPE_raw) {
    spa_video_info_raw raw{};
    if (spa_format_video_raw_parse(format, &raw) < 0) return false;
    size = raw.size;
    rate = raw.framerate;
    videoFormat = raw.format;
  } else if (mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg) {
    spa_video_info_mjpg mjpg{};
    if (spa_format_video_mjpg_parse(format, &mjpg) < 0) return false;
    size = mjpg.size;
    rate = mjpg.framerate;
  } else {
    return false;
  }
  for (size_t i = 0; i < offers.size(); ++i) {
    const Offer& o = offers[i];
    if (o.mediaSubtype != mediaSubtype || o.videoFormat != videoFormat || o.width != size.width ||
        o.height != size.height)
      continue;
    int64_t t = rate.num != 0 ? IntervalOfRate({rate.num, rate.denom}) : o.defaultInterval;
    if (t < o.minInterval) t = o.minInterval;
    if (t > o.maxInterval) t = o.maxInterval;
    *index = i;
    *interval = t;
    return true;
  }
  return false;
}

uint32_t PublishedBytes(const Offer& o) {
  if (o.videoFormat == SPA_VIDEO_FORMAT_I420) return o.width * o.height + 2 * ((o.width / 2) * (o.height / 2));
  if (o.stride != 0) return o.stride * o.height;
  return o.frameBytes;
}

size_t CopyFrame(const Offer& o, const uint8_t* frame, size_t bytes, uint8_t* out, size_t capacity) {
  if (o.mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg) {
    if (bytes == 0 || bytes > capacity) return 0;
    std::memcpy(out, frame, bytes);
    return bytes;
  }
  const size_t size = PublishedBytes(o);
  if (bytes < size || capacity < size) return 0;
  if (!o.bottomUp) {
    std::memcpy(out, frame, size);
    return size;
  }
  for (uint32_t y = 0; y < o.height; ++y)
    std::memcpy(out + size_t(y) * o.stride, frame + size_t(o.height - 1 - y) * o.stride, o.stride);
  return size;
}

}  // namespace publish
