#pragma once
// The flat k-NN table every query driver returns: row q's neighbours occupy
// entries q*stride .. q*stride + stride - 1 of both vectors.
#include <cstdint>
#include <vector>

namespace velnor {

struct KnnResult {
  std::vector<std::uint32_t> indices;  // neighbour row numbers
  std::vector<float> distances;        // in the metric's reported form
  std::uint64_t stride = 1;            // slots per row
};

}  // namespace velnor
