#include "platform/host/pair_runner.h"

namespace host {

PairRunner::PairRunner() : thread_([this] { Loop(); }) {}

PairRunner::~PairRunner() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void PairRunner::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return (pending_ && !started_) || stop_; });
    if (stop_) return;
    started_ = true;
    lock.unlock();
    work_(item_);
    lock.lock();
    pending_ = started_ = false;
    done_.notify_one();
  }
}

void PairRunner::RunPair(void* context, void (*work)(void*), void* first, void* second) {
  PairRunner* self = static_cast<PairRunner*>(context);
  std::unique_lock<std::mutex> use(self->inUse_, std::try_to_lock);
  if (!use.owns_lock()) {
    work(first);
    work(second);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->work_ = work;
    self->item_ = second;
    self->pending_ = true;
    self->started_ = false;
  }
  self->wake_.notify_one();
  work(first);
  std::unique_lock<std::mutex> lock(self->mutex_);
  // A runner thread that has not got going by now (a busy machine) does
  // not hold the caller up: the caller takes the second item back.
  if (self->pending_ && !self->started_) {
    self->pending_ = false;
    lock.unlock();
    work(second);
    return;
  }
  self->done_.wait(lock, [self] { return !self->pending_; });
}

}  // namespace host
