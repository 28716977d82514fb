// Non-paged pool on the host: malloc with a header that carries the tag and
// size, per-tag accounting, a leak report and allocation-failure injection.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/host/host_control.h"
#include "platform/host/kernel.h"

namespace {

struct BlockHeader {
  uint64_t magic;
  uint64_t size;
  uint32_t tag;
  uint32_t pad;
  BlockHeader* next;
  BlockHeader* prev;
  uint64_t reserved;
};
static_assert(sizeof(BlockHeader) % 16 == 0, "keep pool blocks 16-byte aligned");

constexpr uint64_t kLiveMagic = 0x4c4f4f50454c4956ull;   // "LIVEPOOL"
constexpr uint64_t kFreedMagic = 0x4c4f4f5044454546ull;  // "FEEDPOOL"

struct PoolState {
  std::mutex lock;
  std::map<uint32_t, host::PoolTagStats> stats;
  BlockHeader head{0, 0, 0, 0, &head, &head, 0};
  uint64_t failNth = 0;
  uint32_t failTag = 0;
  uint64_t allocationCount = 0;
};

PoolState& State() {
  static PoolState* state = new PoolState;  // never destroyed: frees may come late
  return *state;
}

std::string TagText(uint32_t tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = char((tag >> (8 * i)) & 0xFF);
    s += (c >= 32 && c < 127) ? c : '?';
  }
  return s;
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T NumberOfBytes, ULONG Tag) {
  PoolState& st = State();
  std::lock_guard<std::mutex> guard(st.lock);
  ++st.allocationCount;
  host::PoolTagStats& ts = st.stats[Tag];
  bool fail = false;
  if (st.failNth != 0) {
    if (--st.failNth == 0) fail = true;
  }
  if (st.failTag != 0 && st.failTag == Tag) fail = true;
  if (NumberOfBytes > (SIZE_T(1) << 40)) fail = true;
  if (fail) {
    ++ts.failures;
    return nullptr;
  }
  auto* h = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + NumberOfBytes));
  if (!h) {
    ++ts.failures;
    return nullptr;
  }
  h->magic = kLiveMagic;
  h->size = NumberOfBytes;
  h->tag = Tag;
  h->pad = 0;
  h->next = st.head.next;
  h->prev = &st.head;
  st.head.next->prev = h;
  st.head.next = h;
  ++ts.allocations;
  ++ts.outstanding;
  ts.outstandingBytes += NumberOfBytes;
  // Pool memory is not zeroed; fill with a pattern so code that forgets to
  // initialise shows it.
  std::memset(h + 1, 0xCD, NumberOfBytes);
  return h + 1;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  if (!P) {
    std::fprintf(stderr, "pool: free of a null pointer (tag %s)\n", TagText(Tag).c_str());
    std::abort();
  }
  PoolState& st = State();
  std::lock_guard<std::mutex> guard(st.lock);
  auto* h = static_cast<BlockHeader*>(P) - 1;
  if (h->magic != kLiveMagic) {
    std::fprintf(stderr, "pool: free of a block that is not live (tag %s)\n", TagText(Tag).c_str());
    std::abort();
  }
  if (Tag != 0 && h->tag != Tag) {
    std::fprintf(stderr, "pool: block of tag %s freed with tag %s\n", TagText(h->tag).c_str(),
                 TagText(Tag).c_str());
    std::abort();
  }
  h->prev->next = h->next;
  h->next->prev = h->prev;
  host::PoolTagStats& ts = st.stats[h->tag];
  ++ts.frees;
  if (ts.outstanding) --ts.outstanding;
  ts.outstandingBytes -= std::min<uint64_t>(ts.outstandingBytes, h->size);
  h->magic = kFreedMagic;
  std::free(h);
}

namespace host {

PoolTagStats PoolStats(uint32_t tag) {
  PoolState& st = State();
  std::lock_guard<std::mutex> guard(st.lock);
  auto it = st.stats.find(tag);
  return it == st.stats.end() ? PoolTagStats{} : it->second;
}

uint64_t PoolOutstanding() {
  PoolState& st = State();
  std::lock_guard<std::mutex> guard(st.lock);
  uint64_t n = 0;
  for (BlockHeader* h = st.head.next; h != &st.head; h = h->next) ++n;
  return n;
}

std::string PoolLeakReport() {
  PoolState& st = State();
  std::lock_guard<std::mutex> guard(st.lock);
  std::string out;
  for (BlockHeader* h = st.head.next; h != &st.head; h = h->next) {
    out += "leak: tag " + TagText(h->tag) + " size " + std::to_string(h->size) + "\n";
  }
  return out;
}

void PoolReset() {
  PoolState& st = State();
  std::lock_guard<std::mutex> guard(st.lock);
  st.stats.clear();
  // Live blocks keep counting under their tags so that a later free balances.
  for (BlockHeader* h = st.head.next; h != &st.head; h = h->next) {
    PoolTagStats& ts = st.stats[h->tag];
    ++ts.outstanding;
    ts.outstandingBytes += h->size;
  }
  st.failNth = 0;
  st.failTag = 0;
  st.allocationCount = 0;
}

void PoolFailNth(uint64_t n) {
  PoolState& st = State();
  std::lock_guard<std::mutex> guard(st.lock);
  st.failNth = n;
}

void PoolFailTag(uint32_t tag) {
  PoolState& st = State();
  std::lock_guard<std::mutex> guard(st.lock);
  st.failTag = tag;
}

uint64_t PoolAllocationCount() {
  PoolState& st = State();
  std::lock_guard<std::mutex> guard(st.lock);
  return st.allocationCount;
}

}  // namespace host
