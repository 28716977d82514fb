// The streaming side of the simulated camera: frames at the committed frame
// interval (a moving test picture or frames played from a file), cut into
// UVC payloads, with injected faults. Host build only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camera/play_file.h"
#include "platform/host/usb_device_model.h"

namespace camera {

// Faults injected into the stream; each counter is 0 when off. The
// per-frame faults hit every Nth frame (frames counted from 1); stall and
// unplug happen after N frames.
struct StreamFaults {
  uint32_t losePacket = 0;     // one payload of the frame is never sent
  uint32_t errorPacket = 0;    // one payload arrives damaged (packet error / failed bulk transfer)
  uint32_t errBit = 0;         // one payload header carries the ERR bit
  uint32_t truncateFrame = 0;  // the last third of the frame is not sent
  uint32_t oversizeFrame = 0;  // the frame is sent twice over in one frame
  uint32_t breakTrailer = 0;   // the MJPEG trailer's length is off by one
  uint32_t stall = 0;          // the streaming endpoint stalls
  uint32_t unplug = 0;         // the camera disappears from the bus
};

// Sets one fault by its command-line / profile name ("lose-packet", ...).
// False for an unknown name.
bool SetStreamFault(StreamFaults* faults, const std::string& name, uint32_t n);
// The fault names SetStreamFault knows, comma-separated, for messages.
std::string StreamFaultNames();

enum class StreamFormat { kYuy2, kUyvy, kMjpeg };

// What the camera streams after a commit.
struct StreamSettings {
  StreamFormat format = StreamFormat::kYuy2;
  uint32_t width = 0, height = 0;
  uint32_t interval100ns = 333333;
  uint32_t payloadSize = 0;  // dwMaxPayloadTransferSize of the commit
  bool bulk = false;
  uint32_t headerLength = 12;  // 2, or 12 with PTS and SCR
  bool trailer = true;         // MJPEG frames end with the vendor trailer
  uint32_t stillWidth = 0, stillHeight = 0;  // still size for triggered stills
};

// The processing unit's picture controls as the test picture shows them:
// each control's value and its default. At the defaults (and for controls
// the camera lacks, both 0) the picture is unchanged; camera/README.md
// gives the model (picture_controls.cpp).
struct PictureControls {
  struct Control {
    int64_t value = 0, def = 0;
  };
  Control brightness, contrast, hue, saturation, sharpness, gamma, gain, whiteBalance;
  bool Neutral() const;
  std::vector<int64_t> Key() const;  // the values in a fixed order
};
// Applies the controls to a picture held as full-resolution Y, U and V
// planes of width x height bytes each.
void AdjustPicture(const PictureControls& controls, uint32_t width, uint32_t height, uint8_t* y,
                   uint8_t* u, uint8_t* v);

// The bytes of test-picture frame `n` (0-based) as the camera sends them
// before any trailer: packed 4:2:2 in the given order, or a baseline 4:2:2
// JPEG of the picture (frames repeat every kMjpegPictures), with the
// picture controls applied.
constexpr uint32_t kMjpegPictures = 8;
std::vector<uint8_t> TestPicture(StreamFormat format, uint32_t width, uint32_t height, uint64_t n,
                                 const PictureControls& controls = PictureControls());
// Appends the vendor trailer: FF FF FF FF and the 16-bit big-endian length
// of the frame including the trailer (modulo 65536).
void AppendTrailer(std::vector<uint8_t>* frame);
// Splits a file of concatenated JPEG images (SOI ... EOI) into frames.
std::vector<std::vector<uint8_t>> SplitJpegFrames(const std::vector<uint8_t>& bytes);

class StreamSource {
 public:
  // Frames begin at start + n x interval on the bus clock; start is
  // `now100ns`, or with 0 the first transaction after Start.
  void Start(const StreamSettings& settings, uint64_t now100ns);
  void Stop();
  bool Running() const { return running_; }
  // Frames to play instead of the test picture (empty: test picture). For
  // uncompressed formats the file is cut into frames of the committed size.
  void SetPlayFile(std::shared_ptr<PlayFile> play) { play_ = std::move(play); }
  void SetFaults(const StreamFaults& f) { faults_ = f; }
  // The picture controls the test picture shows from the next frame on.
  void SetPictureControls(const PictureControls& p) { picture_ = p; }
  const StreamFaults& Faults() const { return faults_; }
  // The size of the stills from the next one on (a still commit).
  void SetStillSize(uint32_t width, uint32_t height) {
    s_.stillWidth = width;
    s_.stillHeight = height;
  }
  // The next frame that starts is a still (STI set), at the still size.
  void TriggerStill() { stillPending_ = true; }

  // One IN transaction on the streaming endpoint.
  host::UsbInResult Next(uint64_t now100ns, uint8_t* data, uint32_t capacity);

  uint64_t FramesStarted() const { return framesStarted_; }
  uint64_t StillsSent() const { return stillsSent_; }

 private:
  void BeginFrame(uint64_t now100ns);
  std::vector<uint8_t> FrameBytes(bool still);

  StreamSettings s_;
  StreamFaults faults_;
  PictureControls picture_;
  std::shared_ptr<PlayFile> play_;
  bool running_ = false;
  bool stillPending_ = false;
  bool stillFrame_ = false;
  uint64_t clockStart_ = 0;
  uint64_t nextFrame_ = 0;
  uint64_t framesStarted_ = 0;
  uint64_t stillsSent_ = 0;
  uint64_t pictureNumber_ = 0;
  uint8_t fid_ = 0;
  std::vector<uint8_t> frame_;
  size_t sent_ = 0;
  bool inFrame_ = false;
  uint32_t payloadIndex_ = 0;
  int32_t lostPayload_ = -1, errorPayload_ = -1, errBitPayload_ = -1;
  bool stalled_ = false;
  bool gone_ = false;
  uint64_t frameStart_ = 0;
};

}  // namespace camera
