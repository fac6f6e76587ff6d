#pragma once
// A block of rows in half precision for scans bound by memory traffic: each
// row is scaled by a power of two into the half range and rounded, and the
// exact Euclidean norm of its rounding error is kept, so a product computed
// from the half row is within |q| * error (plus the product's own rounding)
// of the product with the row itself.
#include <cstdint>
#include <vector>

namespace velnor {

struct HalfRows {
  std::uint64_t count = 0;
  std::uint64_t d = 0;
  std::vector<std::uint16_t> codes;  // count x d half-precision values
  std::vector<float> scale;          // per row, the power of two the codes are multiplied by
  std::vector<double> error;         // per row, |row - scale * codes|, rounded up

  // Whether this processor has the instructions dots() needs (AVX2, FMA,
  // F16C); without them of() returns an empty block.
  static bool supported();

  // The half-precision copy of `count` rows of d values.
  static HalfRows of(const float* rows, std::uint64_t count, std::uint64_t d);

  // out[p] = scale[p] * (q . codes of row p), the sum in f32 in any order:
  // within d units of roundoff of |q| * |scale[p] * codes of row p|.
  void dots(const float* q, float* out) const;
};

}  // namespace velnor
