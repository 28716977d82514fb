// A second thread for work that driver code splits in two (the MJPEG
// decoder's halves of a frame with restart intervals). The host side lends
// it to the driver code through a plain function and context, so the driver
// folders start no threads themselves.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace host {

class PairRunner {
 public:
  PairRunner();
  ~PairRunner();
  PairRunner(const PairRunner&) = delete;
  PairRunner& operator=(const PairRunner&) = delete;

  // Runs work(second) on the runner's thread and work(first) on the calling
  // thread; returns when both have finished. While another caller's pair
  // holds the runner, both items run on the calling thread instead, and so
  // does the second item when the runner's thread has not started it by
  // the time the first is done.
  // The signature is the one MjpegWorkers::runPair takes, `context` being
  // the runner.
  static void RunPair(void* context, void (*work)(void*), void* first, void* second);

 private:
  void Loop();

  std::mutex inUse_;  // held by the caller whose pair the runner serves
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  void (*work_)(void*) = nullptr;
  void* item_ = nullptr;
  bool pending_ = false, started_ = false, stop_ = false;
  std::thread thread_;
};

}  // namespace host
