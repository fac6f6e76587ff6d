#pragma once
// 8-bit scalar quantizer of the HNSW backend. Every base row is stored as one
// byte per dimension; two codes are compared by a weighted squared difference
// that estimates the squared Euclidean distance of the unquantized rows. The
// backend only compares base rows with base rows, so there is no encoder for
// outside vectors and no decoder.
#include <cstdint>
#include <vector>

#include "core/dataset.hpp"

namespace velnor {

class Sq8 {
 public:
  // Trains on every row of the dataset (per-dimension bounds) and encodes every
  // row. Two sequential passes; never fails.
  explicit Sq8(const Dataset& dataset);

  // Estimated squared distance between base rows i and j. Per dimension t the
  // term is (scale_sq[t] * delta) * delta with delta = code_i[t] - code_j[t] in
  // f32. Terms of the first 8*floor(d/8) dimensions go to eight lane sums
  // (dimension 8b + l to lane l), which combine as
  // (((a0+a1)+a2)+a3) + (((a4+a5)+a6)+a7); the remaining dimensions are added
  // one by one, in order. Symmetric, and 0 for i == j.
  float code_dist(std::uint64_t i, std::uint64_t j) const;

  // out[r] = code_dist(i, j[r]), bit-identical, the four sums interleaved.
  void code_dist_x4(std::uint64_t i, const std::uint64_t j[4], float out[4]) const;

  // The same sum computed by the plain loop, without vector instructions.
  float code_dist_reference(std::uint64_t i, std::uint64_t j) const;

  // Codes of all rows, row-major: row i occupies bytes i*dim .. (i+1)*dim.
  const std::vector<std::uint8_t>& codes() const { return codes_; }
  // Square of each dimension's quantization step.
  const std::vector<float>& scale_sq() const { return scale_sq_; }
  std::uint64_t dim() const { return dim_; }
  std::uint64_t rows() const { return rows_; }

  // Row i's code, for prefetching.
  const std::uint8_t* code(std::uint64_t i) const { return codes_.data() + i * dim_; }

 private:
  void check_row(std::uint64_t i) const {
    VELNOR_ASSERT(i < rows_, "sq8 row index out of range");
  }

  std::vector<std::uint8_t> codes_;
  std::vector<float> scale_sq_;
  std::uint64_t dim_ = 0;
  std::uint64_t rows_ = 0;
};

}  // namespace velnor
