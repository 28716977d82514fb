// Compiles the functions that follow, up to platform/target_end.h, for
// AVX-512 F, BW and VBMI (the set the image code checks for together).
// Include it where a SIMD twin file's code starts; the file's callers run
// that code only after the runtime check. No include guard: each twin file
// opens and closes its own region.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512vbmi"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vbmi")
#endif
