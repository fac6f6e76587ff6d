#include "core/hnsw/sq8.hpp"

#include "core/cpu.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velnor {

namespace {

// Nearest integer, halves away from zero: 0.49999997 is the largest f32 below
// one half, so a quotient such as 127.49999 does not round up.
inline float round_half_away(float q) { return std::trunc(q + std::copysign(0.49999997f, q)); }

inline std::uint8_t encode(float x, float lo, float scale) {
  const float rounded = round_half_away((x - lo) / scale);
  // Clamp in this order so that a NaN quotient becomes 0.
  const float clamped = std::min(255.0f, std::max(0.0f, rounded));
  return static_cast<std::uint8_t>(clamped);
}

inline float term(float weight, std::uint8_t a, std::uint8_t b) {
  const float delta = static_cast<float>(a) - static_cast<float>(b);
  return (weight * delta) * delta;
}

inline float combine_lanes(const float a[8]) {
  return (((a[0] + a[1]) + a[2]) + a[3]) + (((a[4] + a[5]) + a[6]) + a[7]);
}

inline float add_tail(float s, const float* w, const std::uint8_t* a, const std::uint8_t* b,
                      std::uint64_t from, std::uint64_t d) {
  for (std::uint64_t t = from; t < d; ++t) s = s + term(w[t], a[t], b[t]);
  return s;
}

float code_dist_scalar(const float* w, const std::uint8_t* a, const std::uint8_t* b,
                       std::uint64_t d) {
  float lanes[8] = {};
  const std::uint64_t blocked = d / 8 * 8;
  for (std::uint64_t t = 0; t < blocked; t += 8) {
    for (int l = 0; l < 8; ++l) lanes[l] = lanes[l] + term(w[t + l], a[t + l], b[t + l]);
  }
  return add_tail(combine_lanes(lanes), w, a, b, blocked, d);
}

#if defined(__x86_64__)

// Eight codes widened to i32 lanes.
__attribute__((target("avx2"))) inline __m256i load8(const std::uint8_t* p) {
  return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// The eight lane terms of one block. The difference is taken in integers,
// which is exact and equal to the difference of the two bytes as f32.
__attribute__((target("avx2"))) inline __m256 block_terms(__m256 w, __m256i a, __m256i b) {
  const __m256 delta = _mm256_cvtepi32_ps(_mm256_sub_epi32(a, b));
  return _mm256_mul_ps(_mm256_mul_ps(w, delta), delta);
}

__attribute__((target("avx2"))) float code_dist_avx2(const float* w, const std::uint8_t* a,
                                                     const std::uint8_t* b, std::uint64_t d) {
  __m256 acc = _mm256_setzero_ps();
  const std::uint64_t blocked = d / 8 * 8;
  for (std::uint64_t t = 0; t < blocked; t += 8) {
    acc = _mm256_add_ps(acc, block_terms(_mm256_loadu_ps(w + t), load8(a + t), load8(b + t)));
  }
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, acc);
  return add_tail(combine_lanes(lanes), w, a, b, blocked, d);
}

// Four independent sums interleaved: one chain alone waits on the adder's
// latency at every block.
__attribute__((target("avx2"))) void code_dist_x4_avx2(const float* w, const std::uint8_t* a,
                                                       const std::uint8_t* const b[4],
                                                       std::uint64_t d, float out[4]) {
  __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(),
                   _mm256_setzero_ps()};
  const std::uint64_t blocked = d / 8 * 8;
  for (std::uint64_t t = 0; t < blocked; t += 8) {
    const __m256 weight = _mm256_loadu_ps(w + t);
    const __m256i x = load8(a + t);
    for (int r = 0; r < 4; ++r) acc[r] = _mm256_add_ps(acc[r], block_terms(weight, x, load8(b[r] + t)));
  }
  for (int r = 0; r < 4; ++r) {
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, acc[r]);
    out[r] = add_tail(combine_lanes(lanes), w, a, b[r], blocked, d);
  }
}

const bool has_avx2 = cpu_has_avx2();

#endif  // __x86_64__

}  // namespace

Sq8::Sq8(const Dataset& dataset) : dim_(dataset.d()), rows_(dataset.n()) {
  const std::uint64_t n = rows_, d = dim_;
  std::vector<float> lo(d, std::numeric_limits<float>::infinity());
  std::vector<float> hi(d, -std::numeric_limits<float>::infinity());
  for (std::uint64_t i = 0; i < n; ++i) {
    const float* row = dataset.row(i);
    for (std::uint64_t t = 0; t < d; ++t) {
      const float x = row[t];
      // Two independent tests: a NaN passes neither and moves no bound.
      if (lo[t] > x) lo[t] = x;
      if (x > hi[t]) hi[t] = x;
    }
  }
  std::vector<float> scale(d);
  for (std::uint64_t t = 0; t < d; ++t) {
    const float range = hi[t] - lo[t];
    scale[t] = range > 0.0f ? range / 255.0f : 1.0f;
  }
  codes_.assign(n * d, 0);
  for (std::uint64_t i = 0; i < n; ++i) {
    const float* row = dataset.row(i);
    std::uint8_t* code = codes_.data() + i * d;
    for (std::uint64_t t = 0; t < d; ++t) code[t] = encode(row[t], lo[t], scale[t]);
  }
  scale_sq_.resize(d);
  for (std::uint64_t t = 0; t < d; ++t) scale_sq_[t] = scale[t] * scale[t];
}

float Sq8::code_dist_reference(std::uint64_t i, std::uint64_t j) const {
  check_row(i);
  check_row(j);
  return code_dist_scalar(scale_sq_.data(), code(i), code(j), dim_);
}

#if defined(__x86_64__)

float Sq8::code_dist(std::uint64_t i, std::uint64_t j) const {
  check_row(i);
  check_row(j);
  if (has_avx2) return code_dist_avx2(scale_sq_.data(), code(i), code(j), dim_);
  return code_dist_scalar(scale_sq_.data(), code(i), code(j), dim_);
}

void Sq8::code_dist_x4(std::uint64_t i, const std::uint64_t j[4], float out[4]) const {
  check_row(i);
  for (int r = 0; r < 4; ++r) check_row(j[r]);
  if (has_avx2) {
    const std::uint8_t* b[4] = {code(j[0]), code(j[1]), code(j[2]), code(j[3])};
    code_dist_x4_avx2(scale_sq_.data(), code(i), b, dim_, out);
  } else {
    for (int r = 0; r < 4; ++r) out[r] = code_dist_scalar(scale_sq_.data(), code(i), code(j[r]), dim_);
  }
}

#else

float Sq8::code_dist(std::uint64_t i, std::uint64_t j) const { return code_dist_reference(i, j); }

void Sq8::code_dist_x4(std::uint64_t i, const std::uint64_t j[4], float out[4]) const {
  for (int r = 0; r < 4; ++r) out[r] = code_dist_reference(i, j[r]);
}

#endif

}  // namespace velnor
