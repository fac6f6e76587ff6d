#pragma once
// What the processor the code runs on supports, asked once.

namespace velnor {

#if defined(__x86_64__)
inline bool cpu_has_avx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}
// AVX2 with fused multiply-add and half-precision conversion.
inline bool cpu_has_avx2_fma_f16c() {
  static const bool has = [] {
    __builtin_cpu_init();
    return cpu_has_avx2() && __builtin_cpu_supports("fma") != 0 &&
           __builtin_cpu_supports("f16c") != 0;
  }();
  return has;
}
// The AVX-512 foundation instructions.
inline bool cpu_has_avx512f() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0;
  }();
  return has;
}
#else
inline bool cpu_has_avx2() { return false; }
inline bool cpu_has_avx512f() { return false; }
inline bool cpu_has_avx2_fma_f16c() { return false; }
#endif

}  // namespace velnor
