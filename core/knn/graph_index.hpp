#pragma once
// The search graph of the package's index: every node's exactly measured
// nearest candidates (from the kNN-graph route) pruned by RobustPrune,
// merged with the reverse edges, and linked so that the medoid reaches every
// node. A sample of nodes is then searched for on that graph, as queries
// would be, and pruned again with what those searches found: kNN edges
// alone leave clusters that searches from other clusters cannot find. Built
// over the rows renumbered in a locality order, in which the searches then
// run.
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
  // Every refine_every-th node (0: none) is searched for on the first graph,
  // from the seeds a query would get, and what the search finds joins its
  // candidates for a second prune: edges out of the regions where searches
  // get stuck, and, reversed, into the regions they could not reach.
  std::uint64_t refine_every = 8;
  std::uint64_t refine_beam = 32;   // width of those searches
};

struct GraphIndex {
  std::vector<std::uint32_t> order;  // local node -> original row
  std::vector<float> rows;           // the dataset's stored rows in local order, n x d
  Graph graph;                       // over local nodes
};

GraphIndex build_graph_index(const Dataset& dataset, const GraphIndexParams& params);

}  // namespace velnor::knn
