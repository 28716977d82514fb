// Processor feature queries on the host: the compiler's CPUID wrapper, read
// once and kept.
#include "platform/cpu_features.h"

namespace {

enum : unsigned { kSsse3 = 1, kAvx2 = 2, kAvx512Vbmi = 4, kKnown = 0x80000000u };

unsigned Features() {
  static unsigned cached = 0;  // racing first calls store the same value
  unsigned f = __atomic_load_n(&cached, __ATOMIC_RELAXED);
  if (f == 0) {
    f = kKnown;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3")) f |= kSsse3;
    if (__builtin_cpu_supports("avx2")) f |= kAvx2;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi")) {
      f |= kAvx512Vbmi;
    }
#endif
    __atomic_store_n(&cached, f, __ATOMIC_RELAXED);
  }
  return f;
}

}  // namespace

bool CpuHasSsse3() { return (Features() & kSsse3) != 0; }
bool CpuHasAvx2() { return (Features() & kAvx2) != 0; }
bool CpuHasAvx512Vbmi() { return (Features() & kAvx512Vbmi) != 0; }
