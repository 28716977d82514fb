// A PipeWire consumer of our own: a video input stream that asks for one
// raw format from a named node, keeps the first frames it receives with
// their header metadata and receipt time, and reports what was negotiated.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct pw_thread_loop;
struct pw_stream;
struct spa_pod;

namespace pwtest {

struct ReceivedFrame {
  std::vector<uint8_t> data;
  uint64_t sequence = 0;
  int64_t ptsNs = 0;
  int64_t receivedNs = 0;  // CLOCK_MONOTONIC
  bool hasHeader = false;
};

class StreamConsumer {
 public:
  ~StreamConsumer();
  // Connects to `target` asking for `videoFormat` (SPA_VIDEO_FORMAT_*) at
  // width x height and, when fps is not 0, that rate; keeps `frames` frames.
  bool Start(const std::string& target, uint32_t videoFormat, uint32_t width, uint32_t height,
             uint32_t fps, size_t frames);
  // Waits up to timeoutMs until `frames` (0: all) have come; false on timeout.
  bool Wait(int timeoutMs, size_t frames = 0);
  // Disconnects and leaves the graph.
  void Stop();

  std::vector<ReceivedFrame> Frames();
  uint32_t width = 0, height = 0, rateNum = 0, rateDenom = 0;  // negotiated

 private:
  static void OnParam(void* data, uint32_t id, const spa_pod* param);
  static void OnProcess(void* data);
  pw_thread_loop* loop_ = nullptr;
  pw_stream* stream_ = nullptr;
  size_t want_ = 0;
  std::mutex lock_;  // frames arrive on PipeWire's data thread
  std::condition_variable done_;
  std::vector<ReceivedFrame> frames_;
};

}  // namespace pwtest
