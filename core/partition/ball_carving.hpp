#pragma once
// Randomized ball carving: the base set cut recursively into disjoint leaves
// of at most c_max points around random centres, then a halo that appends
// every point to the fanout - 1 other leaves whose centroids are nearest, so
// that leaves overlap. Distances are sq_l2 on the rows as stored.
#include <cstdint>
#include <span>
#include <vector>

#include "core/build.hpp"
#include "core/dataset.hpp"
#include "core/rng.hpp"

namespace velnor::partition {

using Leaf = std::vector<std::uint32_t>;
using LeafList = std::vector<Leaf>;

// The leaf list of one run: carving seeded from params.seed, then the halo
// when fanout >= 2 and at least two leaves came out. Reads only fanout, c_max
// and seed. Throws InvalidArgument when c_max is 0 and there are points.
LeafList partition(const Dataset& dataset, const BuildParams& params);

// Appends disjoint leaves covering exactly `ids` to `out`, depth-first, with
// one generator for the whole recursion. A subset of more than c_max points
// is split around k = clamp(2 n' / c_max, 2, min(n', 64)) random centres;
// each point joins its nearest centre (the first on a tie). A bucket over
// c_max is carved again, or, below depth 24 only while it holds at most 90 %
// of its parent, else shuffled and cut into chunks of c_max.
void carve_disjoint(const Dataset& dataset, std::uint64_t c_max, std::vector<std::uint32_t> ids,
                    std::uint64_t depth, ChaCha8& rng, LeafList& out);

// Up to k of the candidate rows of `centroids` (row-major, d wide) nearest to
// `query`, nearest first, never `excluded`. Equal distances keep the earlier
// candidate first, and never displace one already held. Throws Error on a
// NaN distance.
std::vector<std::uint32_t> nearest_centroids(const float* query, const float* centroids,
                                             std::uint64_t d, std::uint64_t k,
                                             std::uint32_t excluded,
                                             std::span<const std::uint32_t> candidates);

// How the halo measures points against leaf centroids.
enum class HaloMeasure {
  kExact,     // sq_l2 of the point and each centroid
  // |x|^2 + |c|^2 - 2 x.c, the products of a block of points with every
  // centroid from one matrix product: the same nearest leaves up to
  // rounding, which may reorder distances that nearly tie.
  kProducts,
};

// Appends every point to the min(L - 1, fanout - 1) leaves (other than its
// own) whose centroids are nearest to it; with 257 leaves or more only the
// leaves of the point's three nearest leaf groups are searched, always by
// exact distances. Each leaf keeps its members in order, followed by its
// halo members in ascending id order. `leaves` must be disjoint and cover
// every point once.
void add_halo(const Dataset& dataset, LeafList& leaves, std::uint64_t fanout, std::uint64_t seed,
              HaloMeasure measure = HaloMeasure::kExact);

}  // namespace velnor::partition
