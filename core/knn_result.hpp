#pragma once
// The flat k-NN table every query driver returns: row q's neighbours occupy
// entries q*stride .. q*stride + stride - 1 of both vectors.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/candidate.hpp"
#include "core/metric.hpp"

namespace velnor {

struct KnnResult {
  std::vector<std::uint32_t> indices;  // neighbour row numbers
  std::vector<float> distances;        // in the metric's reported form
  std::uint64_t stride = 1;            // slots per row

  // A table of `rows` rows, every slot zero.
  static KnnResult zeroed(std::uint64_t rows, std::uint64_t stride);

  // Writes `entries` (at most stride of them; squared distances) to row
  // `row` in the metric's reported form, and fills its remaining slots with
  // `pad`.
  void write_row(std::uint64_t row, Metric metric, std::span<const Candidate> entries,
                 Candidate pad);
};

// Row width of a self-kNN table: the row itself plus k neighbours, at most n
// (and 1 for an empty base), without wrap-around for the largest k.
inline std::uint64_t self_stride(std::uint64_t n, std::uint64_t k) {
  const std::uint64_t wanted = k == UINT64_MAX ? k : k + 1;
  return std::min(std::max<std::uint64_t>(n, 1), wanted);
}

}  // namespace velnor
