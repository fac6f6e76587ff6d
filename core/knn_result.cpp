#include "core/knn_result.hpp"

#include <cstddef>

#include "core/error.hpp"

namespace velnor {

KnnResult KnnResult::zeroed(std::uint64_t rows, std::uint64_t stride) {
  KnnResult result;
  result.stride = stride;
  VELNOR_ASSERT(stride == 0 || rows <= SIZE_MAX / stride, "k-NN table too large");
  result.indices.assign(rows * stride, 0);
  result.distances.assign(rows * stride, 0.0f);
  return result;
}

void KnnResult::write_row(std::uint64_t row, Metric metric, std::span<const Candidate> entries,
                          Candidate pad) {
  std::uint32_t* ids = indices.data() + row * stride;
  float* dists = distances.data() + row * stride;
  std::uint64_t m = 0;
  for (; m < entries.size() && m < stride; ++m) {
    ids[m] = entries[m].id;
    dists[m] = metric.reported(entries[m].dist);
  }
  for (; m < stride; ++m) {
    ids[m] = pad.id;
    dists[m] = metric.reported(pad.dist);
  }
}

}  // namespace velnor
