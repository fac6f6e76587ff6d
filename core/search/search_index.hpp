#pragma once
// A built graph index ready to answer queries: the rows once, in a locality
// order (near points together, so a search reads few distinct pages) and in
// the form the metric stores them (unit length under Cosine), their squared
// norms, the graph renumbered to that order, and the order itself with its
// inverse. Searches return original row ids.
//
// Its arrays are either copied from a build or borrowed from memory the
// index does not own (a memory-mapped file, say), kept alive by an owner
// handle; arrays() exports them for saving. A query call allocates only what
// its own queries need: search scratch is pooled inside the index and pivot
// blocks are cached per plan, so concurrent calls share one index safely.
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "core/dataset.hpp"
#include "core/graph.hpp"
#include "core/knn_result.hpp"
#include "core/metric.hpp"
#include "core/search/beam_search.hpp"
#include "core/search/pivots.hpp"

namespace velnor {

// Every node once, in breadth-first order over the graph from the medoid
// (nodes it cannot reach follow, each starting a search of its own in index
// order).
std::vector<std::uint32_t> locality_order(const Graph& graph);

class SearchIndex {
 public:
  // The arrays of an index. Node t of the search numbering is original row
  // order[t]; every other id here (neighbours, medoid) is a node id.
  struct Arrays {
    std::uint64_t n = 0;
    std::uint64_t d = 0;
    Metric metric;
    std::span<const float> rows;               // n x d, node order, stored form
    std::span<const float> norms;              // n squared norms of `rows` (may be empty on input)
    std::span<const std::uint64_t> offsets;    // n + 1, compressed neighbour rows
    std::span<const std::uint32_t> neighbors;  // offsets[n] node ids
    std::span<const std::uint32_t> order;      // n: node -> original row id, a permutation
    std::uint32_t medoid = 0;                  // node nearest the mean (0 when n = 0)
  };

  // After a build: copies the dataset's stored rows and renumbers the graph
  // in `order` (every row once; copy node t is original row order[t]). The
  // copy is exact, so searches find the same rows, distances and ties as
  // over the dataset and graph themselves.
  SearchIndex(const Dataset& dataset, const Graph& graph, std::span<const std::uint32_t> order);

  // Over ready arrays, which must stay valid and unchanged while `owner`
  // lives (the index keeps it). Checks sizes, neighbour ids and that `order`
  // is a permutation (InvalidArgument otherwise); computes the norms when
  // `norms` is empty, and builds the inverse order (4 bytes a row).
  SearchIndex(const Arrays& arrays, std::shared_ptr<const void> owner);

  SearchIndex(const SearchIndex&) = delete;
  SearchIndex& operator=(const SearchIndex&) = delete;

  std::uint64_t n() const { return arrays_.n; }
  std::uint64_t d() const { return arrays_.d; }
  Metric metric() const { return arrays_.metric; }

  // Views of every array, norms included, e.g. to save the index.
  const Arrays& arrays() const { return arrays_; }

  // Node of original row `id`, and original row of node `node`.
  std::uint32_t node_of(std::uint32_t id) const { return rank_[id]; }
  std::uint32_t original(std::uint32_t node) const { return arrays_.order[node]; }

  // What a beam search over the nodes reads.
  SearchView view() const;

  // The min(k, n) nearest original rows of each of the n_q query rows (n_q *
  // d values, row-major, used as given), searched with width
  // max(stride, beam_l), at most n, from the nearest pivots (every step-th row of the
  // original order; see core/search/pivots.hpp). A row the search cannot
  // fill repeats its last entry; one that reaches nothing holds the medoid
  // at distance 0. Distances are the metric's reported form. Throws
  // InvalidArgument for k = 0 or an empty index. A call of few queries runs
  // on the calling thread; more are spread over the current pool. Results
  // depend neither on that nor on the number of workers. Each search starts
  // from the `seeds` nearest pivots (1 to kMaxSeeds).
  KnnResult query(std::span<const float> queries, std::uint64_t n_q, std::uint64_t k,
                  std::uint64_t beam_l, std::uint64_t seeds = kMaxSeeds) const;

  // Whether a call of n_q queries runs on the calling thread, with the
  // current pool.
  static bool runs_inline(std::uint64_t n_q);

 private:
  class ScratchLease;

  std::shared_ptr<const PivotBlock> pivot_block(const PivotPlan& plan) const;
  std::unique_ptr<Scratch> take_scratch() const;
  void give_back(std::unique_ptr<Scratch> scratch) const;

  Arrays arrays_;
  std::shared_ptr<const void> owner_;  // keeps the arrays' memory alive
  std::vector<std::uint32_t> rank_;    // original row id -> node
  std::vector<float> computed_norms_;  // when the arrays came without norms

  mutable std::mutex cache_mutex_;
  // Pivot blocks by pivot plan, the few most recently used.
  mutable std::vector<std::shared_ptr<const PivotBlock>> pivot_blocks_;
  mutable std::vector<std::unique_ptr<Scratch>> idle_scratch_;
};

// External queries against a dataset and its graph, as a SearchIndex over
// them in breadth-first order answers them.
KnnResult knn_query(const Dataset& dataset, const Graph& graph, std::span<const float> queries,
                    std::uint64_t n_q, std::uint64_t k, std::uint64_t beam_l);

}  // namespace velnor
