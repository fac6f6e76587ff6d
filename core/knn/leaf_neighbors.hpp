#pragma once
// Candidate neighbours from the leaves of a partition: all squared distances
// inside a leaf come from one Gram product of its rows, and every member
// offers itself its nearest leaf-mates.
#include <cstdint>
#include <span>
#include <vector>

#include "core/candidate.hpp"
#include "core/knn/neighbor_lists.hpp"

namespace velnor::knn {

// Rows that the leaves index: n x dim, row-major, with their squared norms.
struct RowSet {
  const float* rows;
  const float* norms;
  std::uint64_t n;
  std::uint64_t dim;
};

// One worker's buffers, reused across the leaves it handles.
struct LeafBuffers {
  std::vector<float> rows;          // the leaf's rows, s x dim
  std::vector<float> gram;          // upper triangle of their Gram matrix, s x s
  std::vector<float> norms;         // their squared norms
  std::vector<float> bars;          // per member: what a leaf-mate must beat to be kept
  std::vector<std::uint8_t> guessed;  // per member: its bar is a guess (its list is not full)
  std::vector<std::uint32_t> held;  // per member: entries in its slice of `picks`
  std::vector<Candidate> picks;     // per member, `room` (leaf position, distance) slots
  std::vector<Candidate> chosen;    // one member's final choice, as row ids
};

// Offers each member of `leaf` its min(k, s - 1) nearest leaf-mates, by
// squared distances from the Gram product (never negative).
void offer_leaf_neighbors(const RowSet& set, std::span<const std::uint32_t> leaf, std::uint64_t k,
                          NeighborLists& lists, LeafBuffers& buffers);

// Squared norms of every row of a row-major n x dim matrix, in parallel.
std::vector<float> squared_norms(const float* rows, std::uint64_t n, std::uint64_t dim);

}  // namespace velnor::knn
