// The PipeWire side of `uvccam publish`: a Video/Source node with the
// Camera role that drives its own graph. It offers the formats it is given,
// tells its owner which one a consumer negotiated and when streaming starts
// and stops, and sends each frame the owner hands it in the next buffer,
// stamped with its presentation time and sequence number.
#pragma once

#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tools/publish/stream_formats.h"

struct pw_thread_loop;
struct pw_stream;

namespace publish {

struct NodeSettings {
  std::string name;         // node.name
  std::string description;  // node.description
  std::vector<Offer> offers;
  uint32_t fps = 0;  // 0: each offer's range of rates
};

// What the node tells its owner, from PipeWire's thread.
struct NodeEvents {
  // A consumer settled on offers[index] at this frame interval (100 ns);
  // index < 0: the format was cleared.
  std::function<void(int index, int64_t interval100ns)> format;
  // The graph started (true) or stopped (false) pulling frames.
  std::function<void(bool streaming)> streaming;
  // The node failed or the connection to PipeWire broke: one line.
  std::function<void(const std::string& error)> failed;
};

struct Frame {
  std::vector<uint8_t> data;
  int64_t ptsNs = 0;    // CLOCK_MONOTONIC
  uint64_t sequence = 0;
  bool discontinuity = false;
};

class PipeWireCamera {
 public:
  PipeWireCamera();
  ~PipeWireCamera();
  PipeWireCamera(const PipeWireCamera&) = delete;
  PipeWireCamera& operator=(const PipeWireCamera&) = delete;

  // Connects to PipeWire and creates the node; false with a one-line *error.
  bool Start(const NodeSettings& settings, const NodeEvents& events, std::string* error);
  // Sends a frame (of the format last reported) in a graph cycle of its
  // own. A frame that finds no free buffer is dropped and counted.
  void Send(Frame* frame);
  // Removes the node and disconnects; safe to call twice.
  void Stop();

  uint64_t Sent() const;
  uint64_t Dropped() const;

 private:
  friend struct NodeCallbacks;
  void UpdateBufferParams(const Offer& offer);
  void TriggerLocked();  // under the loop's lock

  NodeSettings settings_;
  NodeEvents events_;
  pw_thread_loop* loop_ = nullptr;
  pw_stream* stream_ = nullptr;
  int offer_ = -1;            // negotiated offer, under the loop's lock
  int state_ = 0;             // pw_stream_state, under the loop's lock
  std::string error_;         // the stream's error, under the loop's lock

  std::mutex sendLock_;  // held while a frame is sent and while the node goes away
  mutable std::mutex lock_;
  std::deque<Frame> pending_;
  uint64_t sent_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace publish
