// Compiles the functions that follow, up to platform/target_end.h, for
// AVX2. Include it where a SIMD twin file's code starts; the file's callers
// run that code only after the runtime check. No include guard: each twin
// file opens and closes its own region.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
