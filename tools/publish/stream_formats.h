// What the published camera offers PipeWire: one offer per capture-pin
// range the request admits, each as a SPA format; the format a consumer
// negotiated, matched back to its offer and frame interval; and a frame as
// the pin delivers it, laid out as PipeWire expects it.
#pragma once

#include <spa/pod/builder.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/camera.h"
#include "client/usb_host_camera.h"

namespace publish {

struct Offer {
  uint32_t width = 0;
  uint32_t height = 0;
  GUID subtype{};
  uint32_t mediaSubtype = 0;  // SPA_MEDIA_SUBTYPE_raw or _mjpg
  uint32_t videoFormat = 0;   // SPA_VIDEO_FORMAT_*, raw formats only
  int64_t minInterval = 0;    // 100 ns units, as the pin's range gives them
  int64_t maxInterval = 0;
  int64_t defaultInterval = 0;
  uint32_t frameBytes = 0;    // the pin's image size (the largest frame for MJPG)
  bool bottomUp = false;      // RGB24 rows arrive bottom row first
  uint32_t stride = 0;        // bytes of a row as published (0: compressed)
};

struct Request {
  uint32_t width = 0, height = 0;  // 0: any size
  const GUID* subtype = nullptr;   // null: any subtype
  uint32_t fps = 0;                // 0: every rate the range allows
};

// The capture pin's ranges that PipeWire can carry and the request admits;
// empty with a one-line *error when none does.
std::vector<Offer> OffersFor(const std::vector<client::PinInfo>& pins, const Request& request,
                             std::string* error);

// A frame interval in 100 ns units as a frame rate, a whole number of
// frames per second when the interval is one (333333 -> 30/1), and back.
struct Rate {
  uint32_t num = 0, denom = 1;
};
Rate RateOfInterval(int64_t interval100ns);
int64_t IntervalOfRate(Rate rate);

// The EnumFormat pod of one offer: a fixed size and format, the frame rate
// fixed at `fps` or a range with the pin's default.
const spa_pod* BuildFormat(spa_pod_builder* builder, const Offer& offer, uint32_t fps);

// The offer a negotiated format names and the pin's frame interval for its
// rate; false when the format matches no offer.
bool MatchFormat(const spa_pod* format, const std::vector<Offer>& offers, size_t* index,
                 int64_t* interval100ns);

// Bytes of one published frame of the offer (the largest for MJPG).
uint32_t PublishedBytes(const Offer& offer);

// Copies a delivered frame into a buffer of `capacity` bytes in the
// published layout (RGB24 turned top-down); the bytes written, 0 when the
// frame does not fit or has the wrong size for the format.
size_t CopyFrame(const Offer& offer, const uint8_t* frame, size_t bytes, uint8_t* out,
                 size_t capacity);

}  // namespace publish
