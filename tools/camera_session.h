// What the streaming commands share: a started camera with its filter open,
// the choice of a pin's data range by size and subtype, and the host clock
// held at a rate for the length of a command.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camera/simulated_camera.h"
#include "client/camera.h"
#include "tools/camera_options.h"
#include "tools/output_files.h"

namespace tools {

// Host-clock units (100 ns) in a second.
constexpr uint64_t k100nsPerSecond = 10000000;

// Prints "uvccam <command>: <error>" on stderr; returns `status`.
int CommandError(const char* command, const std::string& error, int status = 1);

// A camera the driver has started, with one filter open. Destroying it
// closes the filter and stops the driver.
struct CameraSession {
  std::unique_ptr<client::Camera> camera;
  client::Filter* filter = nullptr;
  camera::SimulatedCamera* simulated = nullptr;  // the model, when it is a simulated camera
  bool realDevice = false;                        // a real camera (--device)
  double startRate = 100.0;                       // host clock rate while starting and stopping
  std::vector<client::PinInfo> pins;
  // Settings of controls that act only on a running stream, to apply once
  // frames flow (the kept ones, then the command's own).
  std::vector<std::string> whileStreaming;
  ~CameraSession();
};

// Makes the camera of `options`, uses their state folder, plugs the driver
// in, starts it, opens the filter and applies the kept control values
// (warnings name `command`). False with a one-line *error.
bool OpenCameraSession(const char* command, const CameraOptions& options, CameraSession* session,
                       std::string* error);

// Why the camera cannot stream on, or "" while it can: it has left the bus
// (unplugged), or, after `silent100ns` without a frame, its streaming
// endpoint stays halted (the driver gave the stream up after repeated stalls).
std::string StreamFailure(CameraSession& session, uint64_t silent100ns);

// What the camera sends for a capture pin format of *width x *height (the
// effect chain runs at it): the camera's own size, or the source of a
// scaled size, and its subtype ("MJPG", "YUY2", "UYVY"). Left as they are
// when the camera's tables do not say.
void CameraSizeFor(const CameraOptions& options, uint32_t* width, uint32_t* height,
                   std::string* subtype = nullptr);

// The frame size of a --play file of JPEG frames (its first frame's); false
// for any other file.
bool PlayFileFrameSize(const CameraOptions& options, uint32_t* width, uint32_t* height);

// Checks the --play file against the stream a capture pin format of
// `width` x `height` makes the camera send: whole JPEG frames of the
// stream's size for MJPEG, a whole number of frames for YUY2 and UYVY.
// False with one line naming the file, what it holds and what the stream
// needs.
bool CheckPlayFile(const CameraOptions& options, uint32_t width, uint32_t height, std::string* error);

// Takes every completed buffer off a stopped pin.
void DrainFrames(client::Pin* pin);

// "WxH" with both sides from 1 to 65535.
bool ParseFrameSize(const std::string& text, uint32_t* width, uint32_t* height);
// "YUY2", "UYVY", "I420", "RGB24" or "MJPG", in any case.
bool ParseSubtypeName(const std::string& text, GUID* subtype);

// What a command asks of a pin's format; zero sizes and a null subtype
// leave that part open, a null container accepts every subtype.
struct RangeRequest {
  uint32_t width = 0;
  uint32_t height = 0;
  const GUID* subtype = nullptr;
  const output_files::Container* container = nullptr;
};

// The first range of pin `pinId` that fits the request; null when none
// does, with a one-line *error naming what the pin lacks.
const KS_DATARANGE_VIDEO* ChooseRange(const std::vector<client::PinInfo>& pins, ULONG pinId,
                                      const RangeRequest& request, std::string* error);

// The video info header of a format made by the pin's intersect handler;
// null when the format is too short to hold one.
const KS_VIDEOINFOHEADER* VideoInfoOf(const std::vector<uint8_t>& format);

// The host clock runs at `rate` from construction; the previous rate comes
// back at destruction.
class ClockRateScope {
 public:
  explicit ClockRateScope(double rate);
  ~ClockRateScope();
  ClockRateScope(const ClockRateScope&) = delete;
  ClockRateScope& operator=(const ClockRateScope&) = delete;

 private:
  double previous_;
};

// The rate of the host clock while a command streams: 1 (real time) unless
// a test has asked for a faster one.
double StreamingClockRate();
void SetStreamingClockRate(double rate);

}  // namespace tools
