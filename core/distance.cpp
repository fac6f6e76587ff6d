#include "core/distance.hpp"

#include "core/cpu.hpp"
#include "core/simd.hpp"

namespace velnor {

namespace {

inline float square_diff(float x, float y) {
  const float t = x - y;
  return t * t;
}

// Lane combination and scalar tail shared by every variant.
inline float finish(const float t[8], const float* a, const float* b, std::size_t i,
                    std::size_t len) {
  float s = (((t[0] + t[1]) + t[2]) + t[3]) + (((t[4] + t[5]) + t[6]) + t[7]);
  for (; i < len; ++i) s = s + square_diff(a[i], b[i]);
  return s;
}

#if defined(__x86_64__)

// SSE2 is part of every x86-64: the 8-lane accumulators are two 4-lane halves.
float sq_l2_sse(const float* a, const float* b, std::size_t len) {
  __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps();
  __m128 b0 = _mm_setzero_ps(), b1 = _mm_setzero_ps();
  std::size_t i = 0;
  auto sq = [&](std::size_t k) {
    const __m128 d = _mm_sub_ps(_mm_loadu_ps(a + k), _mm_loadu_ps(b + k));
    return _mm_mul_ps(d, d);
  };
  for (; i + 16 <= len; i += 16) {
    a0 = _mm_add_ps(a0, sq(i));
    a1 = _mm_add_ps(a1, sq(i + 4));
    b0 = _mm_add_ps(b0, sq(i + 8));
    b1 = _mm_add_ps(b1, sq(i + 12));
  }
  if (i + 8 <= len) {
    a0 = _mm_add_ps(a0, sq(i));
    a1 = _mm_add_ps(a1, sq(i + 4));
    i += 8;
  }
  alignas(16) float t[8];
  _mm_store_ps(t, _mm_add_ps(a0, b0));
  _mm_store_ps(t + 4, _mm_add_ps(a1, b1));
  return finish(t, a, b, i, len);
}

void sq_l2_x4_sse(const float* a, const float* const b[4], std::size_t len, float out[4]) {
  for (int r = 0; r < 4; ++r) out[r] = sq_l2_sse(a, b[r], len);
}

__attribute__((target("avx2"))) float sq_l2_avx2(const float* a, const float* b,
                                                 std::size_t len) {
  __m256 acc_a = _mm256_setzero_ps(), acc_b = _mm256_setzero_ps();
  std::size_t i = 0;
  auto sq = [&](std::size_t k) __attribute__((target("avx2"))) {
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + k), _mm256_loadu_ps(b + k));
    return _mm256_mul_ps(d, d);
  };
  for (; i + 16 <= len; i += 16) {
    acc_a = _mm256_add_ps(acc_a, sq(i));
    acc_b = _mm256_add_ps(acc_b, sq(i + 8));
  }
  if (i + 8 <= len) {
    acc_a = _mm256_add_ps(acc_a, sq(i));
    i += 8;
  }
  alignas(32) float t[8];
  _mm256_store_ps(t, _mm256_add_ps(acc_a, acc_b));
  return finish(t, a, b, i, len);
}

// Four rows at once: eight independent accumulator chains keep the adder
// busy where one row's two chains would wait on each other's latency.
__attribute__((target("avx2"))) void sq_l2_x4_avx2(const float* a, const float* const b[4],
                                                   std::size_t len, float out[4]) {
  __m256 acc_a[4], acc_b[4];
  for (int r = 0; r < 4; ++r) acc_a[r] = acc_b[r] = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    const __m256 x0 = _mm256_loadu_ps(a + i), x1 = _mm256_loadu_ps(a + i + 8);
    for (int r = 0; r < 4; ++r) {
      const __m256 d0 = _mm256_sub_ps(x0, _mm256_loadu_ps(b[r] + i));
      const __m256 d1 = _mm256_sub_ps(x1, _mm256_loadu_ps(b[r] + i + 8));
      acc_a[r] = _mm256_add_ps(acc_a[r], _mm256_mul_ps(d0, d0));
      acc_b[r] = _mm256_add_ps(acc_b[r], _mm256_mul_ps(d1, d1));
    }
  }
  const bool eight_left = i + 8 <= len;
  if (eight_left) {
    const __m256 x0 = _mm256_loadu_ps(a + i);
    for (int r = 0; r < 4; ++r) {
      const __m256 d0 = _mm256_sub_ps(x0, _mm256_loadu_ps(b[r] + i));
      acc_a[r] = _mm256_add_ps(acc_a[r], _mm256_mul_ps(d0, d0));
    }
    i += 8;
  }
  for (int r = 0; r < 4; ++r) {
    alignas(32) float t[8];
    _mm256_store_ps(t, _mm256_add_ps(acc_a[r], acc_b[r]));
    out[r] = finish(t, a, b[r], i, len);
  }
}

// AVX-512 holds both accumulators in one register: lanes 0-7 are A and
// lanes 8-15 are B, so sixteen consecutive values split between them exactly
// as in the AVX2 variant, with half the instructions.
__attribute__((target("avx512f"))) inline __m512 sq16(const float* a, const float* b) {
  const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(a), _mm512_loadu_ps(b));
  return _mm512_mul_ps(d, d);
}

// A + B of one paired accumulator, with the eight values at i added to A
// first when they are all that is left of the 16-value steps.
__attribute__((target("avx512f"))) inline void combine_avx512(__m512 acc, const float* a,
                                                               const float* b, std::size_t& i,
                                                               std::size_t len, float t[8]) {
  __m256 acc_a = _mm512_castps512_ps256(acc);
  const __m256 acc_b = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(acc), 1));
  if (i + 8 <= len) {
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    acc_a = _mm256_add_ps(acc_a, _mm256_mul_ps(d, d));
    i += 8;
  }
  _mm256_storeu_ps(t, _mm256_add_ps(acc_a, acc_b));
}

__attribute__((target("avx512f"))) float sq_l2_avx512(const float* a, const float* b,
                                                     std::size_t len) {
  __m512 acc = _mm512_setzero_ps();
  std::size_t i = 0;
  for (; i + 16 <= len; i += 16) acc = _mm512_add_ps(acc, sq16(a + i, b + i));
  float t[8];
  combine_avx512(acc, a, b, i, len, t);
  return finish(t, a, b, i, len);
}

__attribute__((target("avx512f"))) void sq_l2_x4_avx512(const float* a, const float* const b[4],
                                                       std::size_t len, float out[4]) {
  __m512 acc[4];
  for (int r = 0; r < 4; ++r) acc[r] = _mm512_setzero_ps();
  std::size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    const __m512 x = _mm512_loadu_ps(a + i);
    for (int r = 0; r < 4; ++r) {
      const __m512 d = _mm512_sub_ps(x, _mm512_loadu_ps(b[r] + i));
      acc[r] = _mm512_add_ps(acc[r], _mm512_mul_ps(d, d));
    }
  }
  for (int r = 0; r < 4; ++r) {
    std::size_t j = i;
    float t[8];
    combine_avx512(acc[r], a, b[r], j, len, t);
    out[r] = finish(t, a, b[r], j, len);
  }
}

// Chosen once, on first use, for the processor the code runs on.
const bool has_avx2 = cpu_has_avx2();
const bool has_avx512 = cpu_has_avx512f();

#endif  // __x86_64__

}  // namespace

float sq_l2_reference(const float* a, const float* b, std::size_t len) {
  float acc_a[8] = {}, acc_b[8] = {};
  std::size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    for (int l = 0; l < 8; ++l) {
      acc_a[l] = acc_a[l] + square_diff(a[i + l], b[i + l]);
      acc_b[l] = acc_b[l] + square_diff(a[i + 8 + l], b[i + 8 + l]);
    }
  }
  if (i + 8 <= len) {
    for (int l = 0; l < 8; ++l) acc_a[l] = acc_a[l] + square_diff(a[i + l], b[i + l]);
    i += 8;
  }
  float t[8];
  for (int l = 0; l < 8; ++l) t[l] = acc_a[l] + acc_b[l];
  return finish(t, a, b, i, len);
}

#if defined(__x86_64__)
float sq_l2(const float* a, const float* b, std::size_t len) {
  if (has_avx512) return sq_l2_avx512(a, b, len);
  return has_avx2 ? sq_l2_avx2(a, b, len) : sq_l2_sse(a, b, len);
}

void sq_l2_x4(const float* a, const float* const b[4], std::size_t len, float out[4]) {
  if (has_avx512) {
    sq_l2_x4_avx512(a, b, len, out);
  } else if (has_avx2) {
    sq_l2_x4_avx2(a, b, len, out);
  } else {
    sq_l2_x4_sse(a, b, len, out);
  }
}

std::vector<SqL2Kernel> sq_l2_kernels() {
  std::vector<SqL2Kernel> kernels{{"sse2", sq_l2_sse, sq_l2_x4_sse}};
  if (has_avx2) kernels.push_back({"avx2", sq_l2_avx2, sq_l2_x4_avx2});
  if (has_avx512) kernels.push_back({"avx512", sq_l2_avx512, sq_l2_x4_avx512});
  return kernels;
}
#else
float sq_l2(const float* a, const float* b, std::size_t len) {
  return sq_l2_reference(a, b, len);
}

void sq_l2_x4(const float* a, const float* const b[4], std::size_t len, float out[4]) {
  for (int r = 0; r < 4; ++r) out[r] = sq_l2_reference(a, b[r], len);
}

std::vector<SqL2Kernel> sq_l2_kernels() { return {{"portable", sq_l2, sq_l2_x4}}; }
#endif

}  // namespace velnor
