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
#else
inline bool cpu_has_avx2() { return false; }
#endif

}  // namespace velnor
