#pragma once
// The leaf stage: all pairwise squared distances of a leaf from one Gram
// product, and each member's nearest leaf-mates offered to its reservoir.
#include <cstdint>
#include <span>
#include <vector>

#include "core/candidate.hpp"
#include "core/dataset.hpp"
#include "core/hashprune/hyperplanes.hpp"
#include "core/hashprune/reservoir.hpp"

namespace velnor::leaf {

// Working space of one member's neighbour selection.
struct SelectBuffers {
  static constexpr std::size_t kSamples = 64;
  float sample[kSamples];            // row entries that guess the selection bar
  std::vector<std::uint32_t> below;  // positions of the entries under the bar
};

// One worker's buffers, reused across the leaves it handles.
struct LeafScratch {
  std::vector<float> rows;             // gathered leaf rows, s x d
  std::vector<float> block;            // Gram matrix, then distances, s x s
  std::vector<float> norms;            // members' squared norms, s
  std::vector<float> projections;      // members' hyperplane projections, s x m
  std::vector<Candidate> candidates;   // one member's nearest leaf-mates (< 2 l_max)
  SelectBuffers select;
};

// Fills scratch.block with the s x s squared distances of the leaf's first s
// members: D[i][j] = max((q[j] + q[i]) - (G[i][j] + G[i][j]), 0) from the
// Gram matrix G = X X^T and the squared norms q, with D[i][i] = 0. D is
// exactly symmetric, never negative and never NaN.
void leaf_sq_dists(const Dataset& dataset, std::span<const std::uint32_t> leaf, std::uint64_t s,
                   LeafScratch& scratch);

// The same block in a vector of its own.
std::vector<float> leaf_sq_dists(const Dataset& dataset, std::span<const std::uint32_t> leaf,
                                 std::uint64_t s);

// Offers every member u of the leaf its min(s - 1, l_max) nearest leaf-mates
// v (by block distance), each with the hash code of v relative to u, in one
// batch under u's lock. Leaves of fewer than 2 points offer nothing.
void insert_leaf_edges(const Dataset& dataset, std::span<const std::uint32_t> leaf,
                       std::uint64_t l_max, std::span<const float> projections,
                       const hashprune::Hyperplanes& hyperplanes,
                       hashprune::NodeReservoirs& reservoirs, LeafScratch& scratch);

}  // namespace velnor::leaf
