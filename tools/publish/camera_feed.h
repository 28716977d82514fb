// The camera side of `uvccam publish`: a thread that runs the capture pin in
// the format a PipeWire consumer negotiated while the graph streams, stops
// it when the graph pauses or the format changes, and hands every delivered
// frame to the node with its presentation time on the monotonic clock and
// its picture number.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/camera.h"
#include "tools/publish/pipewire_camera.h"

namespace publish {

class CameraFeed {
 public:
  CameraFeed(client::Filter* filter, const std::vector<Offer>& offers, PipeWireCamera* node);
  ~CameraFeed();
  CameraFeed(const CameraFeed&) = delete;
  CameraFeed& operator=(const CameraFeed&) = delete;

  void Start();
  // Stops the pin (when running), closes it and ends the thread.
  void Stop();

  // From the node's events.
  void SetFormat(int index, int64_t interval100ns);
  void SetStreaming(bool streaming);

  // Frames handed to the node since the start.
  uint64_t Delivered() const;

 private:
  void Run();
  bool StartPin(int index, int64_t interval, std::string* error);
  void StopPin();
  void Pump();

  client::Filter* filter_;
  std::vector<Offer> offers_;
  PipeWireCamera* node_;
  std::thread thread_;

  mutable std::mutex lock_;
  std::condition_variable wake_;
  bool quit_ = false;
  bool streaming_ = false;
  int format_ = -1;
  int64_t interval_ = 0;
  uint64_t serial_ = 0;  // counts format changes

  // Camera thread only.
  client::Pin* pin_ = nullptr;
  bool running_ = false;
  uint64_t runningSerial_ = 0;
  uint32_t frameBytes_ = 0;
  int64_t anchorMonoNs_ = 0;
  uint64_t anchorHost100ns_ = 0;
  uint64_t runFrames_ = 0;
  uint64_t lastSequence_ = 0;
  uint64_t missed_ = 0;  // picture numbers the pin skipped this run
  int64_t stampToSendNs_ = 0;  // summed over this run's frames
  uint64_t delivered_ = 0;  // under lock_
};

}  // namespace publish
