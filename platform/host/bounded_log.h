// A log that keeps only its latest entries, so that a long capture or a
// long fuzzing run does not grow it without end. Host build only; the
// owner locks it.
#pragma once

#include <cstddef>
#include <deque>
#include <vector>

namespace host {

template <typename T, size_t kCapacity>
class BoundedLog {
 public:
  static constexpr size_t capacity = kCapacity;
  void Add(T entry) {
    if (entries_.size() == kCapacity) entries_.pop_front();
    entries_.push_back(std::move(entry));
  }
  // Oldest first.
  std::vector<T> Entries() const { return std::vector<T>(entries_.begin(), entries_.end()); }
  void Clear() { entries_.clear(); }

 private:
  std::deque<T> entries_;
};

}  // namespace host
