// Private state of the host kernel-streaming objects. Each public record
// (KSDEVICE, KSFILTER, KSPIN) sits right after an ObjectHeader, so that any
// object pointer leads to its kind, its device and its host record.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/ks_host.h"

namespace host {
namespace ks {

// Host-side pool tags: the runtime's own records come from the pool too, so
// allocation-failure injection reaches them as it would reach the class
// driver's allocations.
constexpr ULONG kTagObject = 0x624f734b;   // "KsOb": filter, pin and factory records
constexpr ULONG kTagBagItem = 0x6742734b;  // "KsBg": object-bag entries
constexpr ULONG kTagFormat = 0x6d46734b;   // "KsFm": connection formats
constexpr ULONG kTagWorker = 0x6b57734b;   // "KsWk": KS workers

enum class Kind : uint32_t { Device = 1, Filter, Pin };
constexpr uint32_t kObjectMagic = 0x4b534f42;

struct HostDevice;

struct alignas(16) ObjectHeader {
  uint32_t magic;
  Kind kind;
  void* owner;  // the HostDevice, HostFilter or HostPin
};

// Allocates a host record from the pool and constructs it; null on failure.
template <typename T, typename... A>
T* PoolNew(A&&... args) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, sizeof(T), kTagObject);
  return p ? new (p) T(static_cast<A&&>(args)...) : nullptr;
}
template <typename T>
void PoolDelete(T* p) {
  if (!p) return;
  p->~T();
  ExFreePoolWithTag(p, kTagObject);
}

struct BagEntry {
  PVOID item;
  PFNKSFREE free;
  BagEntry* next;
};

// An object bag: items freed with their object, last added first.
struct Bag {
  std::mutex lock;
  BagEntry* head = nullptr;
};
void FreeBag(Bag* bag);

struct HostFactory {
  const KSFILTER_DESCRIPTOR* descriptor;
  std::u16string reference;
  ULONG flags;
};

struct HostFilter;
struct HostPin;

struct HostDevice {
  ObjectHeader header;
  KSDEVICE ks;
  DRIVER_OBJECT* driver = nullptr;
  DEVICE_OBJECT fdo;
  std::recursive_mutex mutex;  // the KS device mutex
  std::atomic<int> depth{0};
  std::atomic<uint64_t> acquisitions{0};
  Bag bag;
  std::mutex objects;  // factories and filters
  std::vector<HostFactory*> factories;
  std::vector<HostFilter*> filters;
  bool removed = false;
  bool added = false;
};

struct HostFilter {
  ObjectHeader header;
  KSFILTER ks;
  HostDevice* device;
  Bag bag;
  std::recursive_mutex control;  // creation, close and state of its pins
  std::vector<HostPin*> pins;
};

struct Frame;

struct HostStreamPointer {
  KSSTREAM_POINTER ks;
  HostPin* pin;
  Frame* frame;
  bool clone;
  std::vector<uint8_t> context;
};

struct Frame {
  uint64_t id;
  std::vector<uint8_t> header;  // the stream header and its extension
  std::vector<uint8_t> data;
  int references;  // the queue's own, plus one per clone
  bool passed;     // the leading edge has moved past it
  bool cancelled;
  KSSTREAM_HEADER* Header() { return reinterpret_cast<KSSTREAM_HEADER*>(header.data()); }
};

struct HostPin {
  ObjectHeader header;
  KSPIN ks;
  HostFilter* filter;
  Bag bag;
  // Processing: at most one Process call at a time per pin.
  std::atomic<bool> processing{false};
  std::atomic<bool> requested{false};
  std::mutex asyncLock;
  std::condition_variable asyncWake;
  bool asyncPending = false;
  bool closing = false;
  std::thread asyncThread;
  // Queue of the application's buffers and the completed ones.
  std::mutex queueLock;
  std::condition_variable completedWake;
  std::deque<Frame*> queue;        // frames not yet completed, oldest first
  std::deque<Frame*> completed;    // completed, not yet collected
  uint64_t nextId = 1;
  HostStreamPointer leading;
  bool leadingLocked = false;
  std::vector<HostStreamPointer*> clones;
  bool clockAvailable = true;
};

ObjectHeader* HeaderOf(const void* object);
HostDevice* DeviceOf(PKSDEVICE device);
HostFilter* FilterOf(PKSFILTER filter);
HostPin* PinOf(PKSPIN pin);

// An IRP with one stack location whose file object names a KS object.
struct HostIrp {
  IRP irp;
  IO_STACK_LOCATION stack[2];
  explicit HostIrp(void* object);
};

// Streaming: releases every queued frame as cancelled (not those a clone
// still holds).
void FlushQueue(HostPin* pin);
void StartProcessingThread(HostPin* pin);
void StopProcessingThread(HostPin* pin);
void ReleasePinStreams(HostPin* pin);

}  // namespace ks
}  // namespace host
