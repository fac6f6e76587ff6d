#pragma once
// The kNN graph of a base set: each row's nearest rows, itself first.
// Candidates come from the leaves of a few partitions of the rows (in a
// projection on their principal axes when that keeps most of their
// variance), are measured exactly on the rows, and are refined by local
// joins. The result depends only on the data and the parameters, never on
// the number of workers.
#include <cstdint>
#include <vector>

#include "core/dataset.hpp"
#include "core/knn/neighbor_lists.hpp"
#include "core/knn_result.hpp"

namespace velnor::knn {

struct KnnGraphParams {
  std::uint64_t k = 10;           // neighbours per row besides the row itself
  std::uint64_t runs = 2;         // partitions whose leaves propose candidates
  std::uint64_t c_max = 2048;     // largest carved leaf
  std::uint64_t fanout = 2;       // leaves each row belongs to
  std::uint64_t leaf_k = 32;      // candidates a row takes from its leaves
  std::uint64_t keep = 16;        // exactly measured candidates kept per row (at least k)
  std::uint64_t joins = 1;        // most local-join passes over the kept candidates
  double join_stop = 0.001;       // no further pass once fewer than this share of the
                                  // kept entries entered in the last one
  std::uint64_t join_sample = 8;  // fresh candidates a row joins per pass
  double variance = 0.9;          // share of the variance the projection keeps
  double max_share = 0.5;         // no projection onto more than this share of the dimensions
  std::uint64_t seed = 0;         // partitions
  bool rp_trees = false;          // partitions by random projection trees, not ball carving
};

// Exact candidate lists over the rows renumbered in a locality order.
struct LocalNeighbors {
  std::vector<std::uint32_t> order;  // local node -> original row
  std::vector<float> rows;           // the dataset's stored rows in local order, n x d
  NeighborLists lists;               // local ids, exact sq_l2, ascending (distance, id)
};

LocalNeighbors local_neighbors(const Dataset& dataset, const KnnGraphParams& params);

// Rows of min(k + 1, n) entries: the row itself at distance 0, then its
// nearest found rows, ascending, in the metric's reported form; a row with
// too few candidates is padded with itself.
KnnResult knn_graph(const Dataset& dataset, const KnnGraphParams& params);

}  // namespace velnor::knn
