#pragma once
// Exact nearest rows of a sample of a dataset's own rows, each row itself
// left out: the ground truth that the recall of approximate neighbour lists
// is measured against.
//
// Candidates come from one single-precision matrix product per block of
// sampled rows (up to 1024, against the dataset in tiles that the workers
// share out), which ranks every row by |q|^2 + |x|^2 - 2 q.x; the best of
// them are measured again with sq_l2.
// When the product's rounding could have left a true neighbour out of that
// pool, the sampled row is measured against every row instead. So the result
// is exactly what sq_l2 against every row gives, ties by lower row number.
#include <cstdint>
#include <span>
#include <vector>

#include "core/dataset.hpp"

namespace velnor {

struct SampleNeighbors {
  std::uint64_t k = 0;             // neighbours per sampled row
  std::vector<std::uint32_t> ids;  // sample.size() x k, ascending (sq_l2, id)
  std::vector<float> dists;        // their sq_l2
};

// The k nearest other rows of each sampled row, on the current pool; the
// result does not depend on the number of workers.
// Throws InvalidArgument for k = 0, k >= n or a sampled id >= n, and Error
// when a distance is NaN.
SampleNeighbors exact_sample_neighbors(const Dataset& dataset,
                                       std::span<const std::uint32_t> sample, std::uint64_t k);

// The recall of `found` against `exact` (same sample, k ids per sampled row,
// row i's at i*k .. i*k + k - 1): the share of the sample.size() * k slots
// that hold a distinct row, not the sampled row itself, whose sq_l2 to the
// sampled row is at most the k-th exact one (so a tie counts as a hit).
// Throws InvalidArgument for an id >= n or sizes that do not match.
double sample_recall(const Dataset& dataset, std::span<const std::uint32_t> sample,
                     std::span<const std::uint32_t> found, const SampleNeighbors& exact);

}  // namespace velnor
