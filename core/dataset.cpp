#include "core/dataset.hpp"

#include <cmath>

namespace velnor {

float squared_norm(const float* row, std::uint64_t d) {
  float s = 0.0f;
  for (std::uint64_t k = 0; k < d; ++k) s = s + row[k] * row[k];
  return s;
}

namespace {

void check_length(std::span<const float> data, std::uint64_t n, std::uint64_t d) {
  const bool overflow = d != 0 && n > UINT64_MAX / d;
  VELNOR_ASSERT(!overflow && data.size() == n * d, "data length must equal n*d");
}

}  // namespace

void scale_to_unit_length(std::span<float> rows, std::uint64_t n, std::uint64_t d) {
  check_length(rows, n, d);
  for (std::uint64_t i = 0; i < n; ++i) {
    float* row = rows.data() + i * d;
    const float s = squared_norm(row, d);
    if (s > 0.0f) {
      const float inv = 1.0f / std::sqrt(s);
      for (std::uint64_t k = 0; k < d; ++k) row[k] *= inv;
    }
  }
}

Dataset::Dataset(std::span<const float> data, std::uint64_t n, std::uint64_t d, Metric metric)
    : data_(data.data()), n_(n), d_(d), metric_(metric) {
  check_length(data, n, d);
  if (metric == Metric::Cosine) {
    owned_.assign(data.begin(), data.end());
    scale_to_unit_length(owned_, n, d);
    data_ = owned_.data();
  }
  compute_norms();
}

Dataset::Dataset(std::span<const float> stored, std::uint64_t n, std::uint64_t d, Metric metric,
                 StoredForm)
    : data_(stored.data()), n_(n), d_(d), metric_(metric) {
  check_length(stored, n, d);
  compute_norms();
}

void Dataset::compute_norms() {
  if (n_ * d_ == 0) return;
  norms_.resize(n_);
  for (std::uint64_t i = 0; i < n_; ++i) norms_[i] = squared_norm(data_ + i * d_, d_);
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
