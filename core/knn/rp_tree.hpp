#pragma once
// Random projection trees: the rows cut in halves again and again, each time
// at the median of their projections on the line through two random rows of
// the part, until every part holds at most `leaf_size` rows. Parts at one
// depth are cut in parallel; each cut draws from a generator seeded by the
// tree's seed and the part's place, so a tree depends only on the rows,
// `leaf_size` and the seed.
#include <cstdint>
#include <vector>

#include "core/partition/ball_carving.hpp"

namespace velnor::knn {

// The leaves of one tree over n rows of `dim` values (row-major), in tree
// order: consecutive leaves are near each other. Every row is in exactly one
// leaf; leaves hold between leaf_size / 2 and leaf_size rows (or all rows
// when there are fewer).
partition::LeafList rp_tree_leaves(const float* rows, std::uint64_t n, std::uint64_t dim,
                                   std::uint64_t leaf_size, std::uint64_t seed);

}  // namespace velnor::knn
