#pragma once
// Principal axes of a row set, so that candidate neighbours can be searched
// for among rows of fewer dimensions. Projected distances only pick
// candidates; every distance a result reports is measured on the rows
// themselves.
#include <cstdint>
#include <vector>

#include "core/dataset.hpp"

namespace velnor::knn {

struct Projection {
  std::uint64_t d = 0;      // dimension of the rows
  std::uint64_t p = 0;      // dimension of the projected rows; p == d: rows used as they are
  std::vector<float> mean;  // d values subtracted from a row before it is projected
  std::vector<float> axes;  // p x d, row-major: the leading principal axes, orthonormal
  double retained = 1.0;    // share of the sampled rows' variance that the axes keep

  bool identity() const { return axes.empty(); }
};

// The fewest leading principal axes (a multiple of 8) that keep at least
// `variance` of the variance of an evenly spaced sample of at most
// `sample_rows` rows. When those would be more than `max_share` of d, or d
// is small, the projection is the identity: the rows are used as they are.
Projection principal_axes(const Dataset& dataset, double variance, double max_share,
                          std::uint64_t sample_rows);

// The dataset's rows centred and projected on the axes: n x p, row-major.
// Parallel over blocks of rows on the current pool.
std::vector<float> project(const Dataset& dataset, const Projection& projection);

}  // namespace velnor::knn
