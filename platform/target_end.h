// Ends the region platform/target_avx2.h or platform/target_avx512.h opened.
// No include guard: each twin file closes its own region.
#if defined(__clang__)
#pragma clang attribute pop
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif
