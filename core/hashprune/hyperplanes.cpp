#include "core/hashprune/hyperplanes.hpp"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/rng.hpp"

namespace velnor::hashprune {

namespace {

// One standard normal value from two 32-bit draws (Box-Muller, all in f32).
float standard_normal(ChaCha8& rng) {
  const float u1 = static_cast<float>(rng.next_u32() >> 8) * 0x1p-24f;
  const float u2 = static_cast<float>(rng.next_u32() >> 8) * 0x1p-24f;
  return std::sqrt(-2.0f * std::log(std::max(u1, 1e-9f))) * std::cos(6.2831855f * u2);
}

// Rows projected together: their 4 x 16 accumulators are independent chains,
// so the adder never waits on one sum.
constexpr std::uint64_t kRowsPerStep = 4;
constexpr std::uint64_t kRowsPerTask = 256;

}  // namespace

Hyperplanes::Hyperplanes(std::uint64_t m, std::uint64_t d, std::uint64_t seed) : m_(m), d_(d) {
  if (m > kMaxPlanes) throw InvalidArgument("m must be <= 16 (code packs into u16)");
  ChaCha8 rng(seed);
  planes_.resize(m * d);
  for (float& value : planes_) value = standard_normal(rng);
}

std::vector<float> Hyperplanes::sketch_all(const Dataset& dataset) const {
  VELNOR_ASSERT(dataset.d() == d_, "hyperplane dimension differs from the dataset's");
  const std::uint64_t n = dataset.n();
  std::vector<float> table(n * m_, 0.0f);
  if (m_ == 0 || n == 0) return table;

  // Planes transposed to d x 16 (zero lanes beyond m): lane j of the
  // accumulator is plane j's dot product, summed over k in index order.
  std::vector<float> by_dim(d_ * kMaxPlanes, 0.0f);
  for (std::uint64_t j = 0; j < m_; ++j)
    for (std::uint64_t k = 0; k < d_; ++k) by_dim[k * kMaxPlanes + j] = planes_[j * d_ + k];

  const std::uint64_t tasks = (n + kRowsPerTask - 1) / kRowsPerTask;
  parallel_for(tasks, [&](std::size_t task) {
    const std::uint64_t begin = task * kRowsPerTask;
    const std::uint64_t end = std::min(n, begin + kRowsPerTask);
    for (std::uint64_t i0 = begin; i0 < end; i0 += kRowsPerStep) {
      const std::uint64_t rows = std::min(kRowsPerStep, end - i0);
      float acc[kRowsPerStep][kMaxPlanes] = {};
      const float* x[kRowsPerStep];
      for (std::uint64_t r = 0; r < kRowsPerStep; ++r) x[r] = dataset.row(i0 + std::min(r, rows - 1));
      for (std::uint64_t k = 0; k < d_; ++k) {
        const float* plane_k = by_dim.data() + k * kMaxPlanes;
        for (std::uint64_t r = 0; r < kRowsPerStep; ++r) {
          const float xk = x[r][k];
          for (std::uint64_t j = 0; j < kMaxPlanes; ++j) acc[r][j] = acc[r][j] + xk * plane_k[j];
        }
      }
      for (std::uint64_t r = 0; r < rows; ++r)
        for (std::uint64_t j = 0; j < m_; ++j) table[(i0 + r) * m_ + j] = acc[r][j];
    }
  });
  return table;
}

std::uint16_t Hyperplanes::code(std::span<const float> table, std::uint32_t u,
                                std::uint32_t v) const {
  const float* pu = table.data() + static_cast<std::uint64_t>(u) * m_;
  const float* pv = table.data() + static_cast<std::uint64_t>(v) * m_;
  unsigned bits = 0;
  std::uint64_t j = 0;
#if defined(__x86_64__)
  // Four planes per step; an ordered >= compare is false for NaN, as below.
  const __m128 zero = _mm_setzero_ps();
  for (; j + 4 <= m_; j += 4) {
    const __m128 diff = _mm_sub_ps(_mm_loadu_ps(pv + j), _mm_loadu_ps(pu + j));
    bits |= static_cast<unsigned>(_mm_movemask_ps(_mm_cmpge_ps(diff, zero))) << j;
  }
#endif
  for (; j < m_; ++j) {
    if (pv[j] - pu[j] >= 0.0f) bits |= 1u << j;
  }
  return static_cast<std::uint16_t>(bits);
}

}  // namespace velnor::hashprune
