#include "core/dataset.hpp"

#include <cmath>

namespace velnor {

float squared_norm(const float* row, std::uint64_t d) {
  float s = 0.0f;
  for (std::uint64_t k = 0; k < d; ++k) s = s + row[k] * row[k];
  return s;
}

Dataset::Dataset(std::span<const float> data, std::uint64_t n, std::uint64_t d, Metric metric)
    : data_(data.data()), n_(n), d_(d), metric_(metric) {
  const bool overflow = d != 0 && n > UINT64_MAX / d;
  VELNOR_ASSERT(!overflow && data.size() == n * d, "data length must equal n*d");
  if (metric == Metric::Cosine) {
    owned_.assign(data.begin(), data.end());
    for (std::uint64_t i = 0; i < n; ++i) {
      float* row = owned_.data() + i * d;
      const float s = squared_norm(row, d);
      if (s > 0.0f) {
        const float inv = 1.0f / std::sqrt(s);
        for (std::uint64_t k = 0; k < d; ++k) row[k] *= inv;
      }
    }
    data_ = owned_.data();
  }
  if (n * d != 0) {
    norms_.resize(n);
    for (std::uint64_t i = 0; i < n; ++i) norms_[i] = squared_norm(data_ + i * d, d);
  }
}

void Dataset::require_finite_norms() const {
  for (const float norm : norms_) {
    if (!std::isfinite(norm)) {
      throw InvalidArgument(
          "input holds NaN or infinity (or a row whose squared norm overflows float32)");
    }
  }
}

}  // namespace velnor
