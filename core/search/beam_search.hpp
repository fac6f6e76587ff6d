#pragma once
// Greedy beam search over the graph for one query: start from the seed nodes,
// repeatedly expand the nearest candidate not yet expanded, and keep the best
// L candidates seen. It stops when all kept candidates are expanded.
#include <cstdint>
#include <span>
#include <vector>

#include "core/candidate.hpp"
#include "core/dataset.hpp"
#include "core/graph.hpp"

namespace velnor {

// One worker's working memory for searches over a dataset of n nodes, reused
// for every query the worker runs. All flags are clear and `touched` is empty
// between queries, so a query costs what it visits, not n.
struct Scratch {
  // `visited` values besides 0: the node is in the candidate list now, or it
  // was refused or evicted by a full list and can never enter it again.
  static constexpr std::uint8_t kInList = 1;
  static constexpr std::uint8_t kRuledOut = 2;

  std::vector<std::uint8_t> expanded;  // node was expanded in the current query
  std::vector<std::uint8_t> visited;   // kInList, kRuledOut, or 0: not seen yet
  std::vector<std::uint32_t> touched;  // every node whose flags the query set

  explicit Scratch(std::uint64_t n);
};

// The best at most L nodes found from `seeds` for the d-value `query`, as
// (id, squared distance) pairs ascending by distance. Equal distances keep
// the order in which they entered the list; seeds enter in seed order and a
// repeated seed counts once. Every seed and neighbour id must be below the
// dataset's n, and the graph and scratch must be sized for that n.
//
// Fails (velnor::Error) on a NaN distance, which cannot be ranked. The scratch
// is left clean on return and on failure.
std::vector<Candidate> beam_search(const Dataset& dataset, const Graph& graph,
                                   std::span<const std::uint32_t> seeds, const float* query,
                                   std::uint64_t L, Scratch& scratch);

}  // namespace velnor
