#include "core/search/half_rows.hpp"

#include <algorithm>
#include <cmath>

#include "core/cpu.hpp"
#include "core/simd.hpp"

namespace velnor {

namespace {

#if defined(__x86_64__)

// The largest |value| a scaled row may hold: far inside the half range
// (65504), so rounding never overflows.
constexpr float kHalfTarget = 16384.0f;

__attribute__((target("f16c"))) std::uint16_t to_half(float v) { return _cvtss_sh(v, 0); }
__attribute__((target("f16c"))) float from_half(std::uint16_t h) { return _cvtsh_ss(h); }

__attribute__((target("avx2,fma,f16c"))) float horizontal_sum(__m256 v) {
  const __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 t = _mm_add_ps(s, _mm_movehl_ps(s, s));
  return _mm_cvtss_f32(_mm_add_ss(t, _mm_shuffle_ps(t, t, 1)));
}

// Products of q with the eight rows of codes that start at `codes`: eight
// independent chains keep the converter and the adders busy.
__attribute__((target("avx2,fma,f16c"))) void dots8(const float* q, const std::uint16_t* codes,
                                                   std::uint64_t d, float out[8]) {
  __m256 acc[8];
  for (int r = 0; r < 8; ++r) acc[r] = _mm256_setzero_ps();
  std::uint64_t k = 0;
  for (; k + 8 <= d; k += 8) {
    const __m256 x = _mm256_loadu_ps(q + k);
    for (int r = 0; r < 8; ++r) {
      const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + r * d + k));
      acc[r] = _mm256_fmadd_ps(_mm256_cvtph_ps(h), x, acc[r]);
    }
  }
  for (int r = 0; r < 8; ++r) {
    float s = horizontal_sum(acc[r]);
    for (std::uint64_t t = k; t < d; ++t) s += q[t] * from_half(codes[r * d + t]);
    out[r] = s;
  }
}

// The same with sixteen codes per step where AVX-512 is there.
__attribute__((target("avx512f"))) void dots8_avx512(const float* q, const std::uint16_t* codes,
                                                    std::uint64_t d, float out[8]) {
  __m512 acc[8];
  for (int r = 0; r < 8; ++r) acc[r] = _mm512_setzero_ps();
  std::uint64_t k = 0;
  for (; k + 16 <= d; k += 16) {
    const __m512 x = _mm512_loadu_ps(q + k);
    for (int r = 0; r < 8; ++r) {
      const __m256i h = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + r * d + k));
      acc[r] = _mm512_fmadd_ps(_mm512_cvtph_ps(h), x, acc[r]);
    }
  }
  for (int r = 0; r < 8; ++r) {
    float s = _mm512_reduce_add_ps(acc[r]);
    for (std::uint64_t t = k; t < d; ++t) s += q[t] * from_half(codes[r * d + t]);
    out[r] = s;
  }
}

__attribute__((target("avx2,fma,f16c"))) float dot1(const float* q, const std::uint16_t* codes,
                                                   std::uint64_t d) {
  __m256 acc = _mm256_setzero_ps();
  std::uint64_t k = 0;
  for (; k + 8 <= d; k += 8) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + k));
    acc = _mm256_fmadd_ps(_mm256_cvtph_ps(h), _mm256_loadu_ps(q + k), acc);
  }
  float s = horizontal_sum(acc);
  for (; k < d; ++k) s += q[k] * from_half(codes[k]);
  return s;
}

#endif  // __x86_64__

}  // namespace

bool HalfRows::supported() { return cpu_has_avx2_fma_f16c(); }

HalfRows HalfRows::of(const float* rows, std::uint64_t count, std::uint64_t d) {
  HalfRows half;
#if defined(__x86_64__)
  if (!supported()) return half;
  half.count = count;
  half.d = d;
  half.codes.resize(count * d);
  half.scale.resize(count);
  half.error.resize(count);
  for (std::uint64_t p = 0; p < count; ++p) {
    const float* row = rows + p * d;
    float largest = 0.0f;
    for (std::uint64_t k = 0; k < d; ++k) largest = std::max(largest, std::fabs(row[k]));
    // A power of two, so dividing by it and multiplying back are exact (for
    // rows far from the ends of the f32 range).
    int exponent = 0;
    if (largest > 0.0f && std::isfinite(largest)) {
      exponent = std::ilogb(largest) - std::ilogb(kHalfTarget);
    }
    const float scale = std::ldexp(1.0f, exponent);
    double error = 0.0;
    for (std::uint64_t k = 0; k < d; ++k) {
      const std::uint16_t code = to_half(std::ldexp(row[k], -exponent));
      half.codes[p * d + k] = code;
      const double diff = double{row[k]} - double{scale} * double{from_half(code)};
      error += diff * diff;
    }
    half.scale[p] = scale;
    half.error[p] = std::sqrt(error) * (1.0 + 0x1p-30);
  }
#else
  (void)rows;
  (void)count;
  (void)d;
#endif
  return half;
}

void HalfRows::dots(const float* q, float* out) const {
#if defined(__x86_64__)
  static const auto dots_of_eight = cpu_has_avx512f() ? dots8_avx512 : dots8;
  std::uint64_t p = 0;
  for (; p + 8 <= count; p += 8) {
    dots_of_eight(q, codes.data() + p * d, d, out + p);
    for (int r = 0; r < 8; ++r) out[p + r] *= scale[p + r];
  }
  for (; p < count; ++p) out[p] = dot1(q, codes.data() + p * d, d) * scale[p];
#else
  (void)q;
  (void)out;
#endif
}

}  // namespace velnor
