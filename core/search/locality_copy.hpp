#pragma once
// A private copy of the base rows and the graph, renumbered in a locality
// order: the build's (near points together) or, without one, breadth-first
// over the graph from the medoid. Neighbouring nodes then sit close
// together in memory, so a search reads far fewer distinct pages and cache
// lines than over the rows in their original order. Distances between the
// copied rows are the same values bit for bit, as are the neighbour lists
// (renumbered, in their stored order), so a search over the copy finds the
// same nodes in the same order as over the original.
#include <cstdint>
#include <vector>

#include "core/dataset.hpp"
#include "core/graph.hpp"

namespace velnor {

// Every node once, in breadth-first order over the graph from the medoid
// (nodes it cannot reach follow, each starting a search of its own in index
// order).
std::vector<std::uint32_t> locality_order(const Graph& graph);

class LocalityCopy {
 public:
  // `order`, when given, must hold every node once; copy node t is then
  // original node order[t].
  LocalityCopy(const Dataset& dataset, const Graph& graph,
               const std::vector<std::uint32_t>* order = nullptr);

  LocalityCopy(const LocalityCopy&) = delete;
  LocalityCopy& operator=(const LocalityCopy&) = delete;

  // The renumbered rows (L2, whatever the source metric: the rows are copied
  // as stored, never rescaled) and graph.
  const Dataset& dataset() const { return dataset_; }
  const Graph& graph() const { return graph_; }

  // Original id of copy node `local`, and copy node of original id `id`.
  std::uint32_t original(std::uint32_t local) const { return order_[local]; }
  std::uint32_t local(std::uint32_t id) const { return rank_[id]; }

 private:
  std::vector<std::uint32_t> order_;  // copy node -> original id
  std::vector<std::uint32_t> rank_;   // original id -> copy node
  std::vector<float> rows_;
  Dataset dataset_;
  Graph graph_;
};

}  // namespace velnor
