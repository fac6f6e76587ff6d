#pragma once
// The matrix every stage reads: n rows of d f32 values, row-major, with the
// squared norm of each stored row and the metric. An L2 dataset borrows the
// caller's buffer (which must outlive it, unchanged); a Cosine dataset owns a
// copy whose rows are scaled to unit length. Immutable once made, so any
// number of workers share it read-only.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/metric.hpp"

namespace velnor {

// Squared Euclidean norm of a row as a dataset computes it: the squares
// added one after another from the left.
float squared_norm(const float* row, std::uint64_t d);

// Scales each of the n rows of d values to unit length, as a Cosine
// dataset stores its rows (all-zero rows stay as they are).
void scale_to_unit_length(std::span<float> rows, std::uint64_t n, std::uint64_t d);

class Dataset {
 public:
  // Fails with "data length must equal n*d" when data.size() != n * d.
  Dataset(std::span<const float> data, std::uint64_t n, std::uint64_t d, Metric metric);

  // Rows already in the metric's stored form (for Cosine: scaled by
  // scale_to_unit_length), borrowed as they are.
  struct StoredForm {};
  Dataset(std::span<const float> stored, std::uint64_t n, std::uint64_t d, Metric metric,
          StoredForm);

  Dataset(const Dataset&) = delete;
  Dataset& operator=(const Dataset&) = delete;

  std::uint64_t n() const { return n_; }
  std::uint64_t d() const { return d_; }
  Metric metric() const { return metric_; }

  // All stored rows, row-major.
  const float* data() const { return data_; }

  // Row i's d stored values. Asking past the end is an internal failure.
  const float* row(std::uint64_t i) const {
    VELNOR_ASSERT(i < n_, "row index out of range");
    return data_ + i * d_;
  }

  // Squared Euclidean norm of every stored row; empty when n * d == 0.
  const std::vector<float>& norms() const { return norms_; }

  // Throws InvalidArgument when a stored row holds NaN or infinity, or its
  // squared norm overflows f32: distances between such rows overflow or are
  // NaN, and cannot be ordered.
  void require_finite_norms() const;

 private:
  void compute_norms();

  std::vector<float> owned_;  // the scaled copy of a Cosine dataset
  const float* data_;
  std::uint64_t n_;
  std::uint64_t d_;
  Metric metric_;
  std::vector<float> norms_;
};

}  // namespace velnor
