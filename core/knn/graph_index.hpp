#pragma once
// The search graph of the package's index: every node's exactly measured
// nearest candidates (from the kNN-graph route) pruned by RobustPrune,
// merged with the reverse edges, and linked so that the medoid reaches every
// node. Built over the rows renumbered in a locality order, in which the
// searches then run.
#include <cstdint>
#include <vector>

#include "core/dataset.hpp"
#include "core/graph.hpp"
#include "core/knn/knn_graph.hpp"

namespace velnor::knn {

struct GraphIndexParams {
  KnnGraphParams neighbors;         // its k: candidates per node for the prune
  std::uint64_t r = 64;             // out-degree bound of the pruned lists
  float alpha = 1.2f;               // RobustPrune factor
  std::uint64_t connect_beam = 32;  // search width of the links that join the pieces
};

struct GraphIndex {
  std::vector<std::uint32_t> order;  // local node -> original row
  std::vector<float> rows;           // the dataset's stored rows in local order, n x d
  Graph graph;                       // over local nodes
};

GraphIndex build_graph_index(const Dataset& dataset, const GraphIndexParams& params);

}  // namespace velnor::knn
