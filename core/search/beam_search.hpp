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
#include "core/memory.hpp"

namespace velnor {

// What a search reads, by node id: node i's row is rows[i*d .. i*d + d) and
// its neighbours are neighbors[offsets[i] .. offsets[i+1]). Borrowed, never
// owned.
struct SearchView {
  const float* rows = nullptr;
  std::uint64_t n = 0;
  std::uint64_t d = 0;
  const std::uint64_t* offsets = nullptr;  // n + 1 entries
  const std::uint32_t* neighbors = nullptr;

  SearchView() = default;
  SearchView(const float* rows, std::uint64_t n, std::uint64_t d, const std::uint64_t* offsets,
             const std::uint32_t* neighbors)
      : rows(rows), n(n), d(d), offsets(offsets), neighbors(neighbors) {}
  // A dataset's rows with a graph over them; fails (velnor::Error) when
  // their sizes differ.
  SearchView(const Dataset& dataset, const Graph& graph);

  const float* row(std::uint64_t i) const { return rows + i * d; }
  std::span<const std::uint32_t> neighbors_of(std::uint64_t node) const {
    return {neighbors + offsets[node], neighbors + offsets[node + 1]};
  }
};

// One worker's working memory for searches over n nodes, reused for every
// query the worker runs. Each node holds a mark stamped with the query it
// was last seen in, so a new query starts clean without touching earlier
// marks: its cost is what it visits, not n (the marks are cleared once in
// about 16,000 queries, when the stamps run out).
class Scratch {
 public:
  explicit Scratch(std::uint64_t n);

  std::uint64_t size() const { return marks_.size(); }

  // A node's state in the current query.
  enum State : std::uint16_t {
    kUnseen = 0,
    kInList = 1,     // in the candidate list, not expanded
    kExpanded = 2,   // in the candidate list, expanded
    kRuledOut = 3,   // refused or evicted by a full list: can never enter it again
  };

  // Starts a query: every node becomes kUnseen.
  void next_query();

  bool seen(std::uint32_t node) const { return marks_[node] > stamp_; }
  bool expanded(std::uint32_t node) const { return marks_[node] == stamp_ + kExpanded; }
  void set(std::uint32_t node, State state) {
    marks_[node] = static_cast<std::uint16_t>(stamp_ + state);
  }
  const std::uint16_t* marks() const { return marks_.data(); }
  std::uint16_t stamp() const { return stamp_; }

 private:
  HugeVector<std::uint16_t> marks_;  // stamp of the query that set it + State
  std::uint16_t stamp_;               // a multiple of 4; marks at or below it are unseen
};

// The best at most L nodes found from `seeds` for the d-value `query`, as
// (id, squared distance) pairs ascending by distance. Equal distances keep
// the order in which they entered the list; seeds enter in seed order and a
// repeated seed counts once. Every seed and neighbour id must be below n,
// and the scratch must be sized for n.
//
// Fails (velnor::Error) on a NaN distance, which cannot be ranked. The
// scratch stays usable after a failure.
std::vector<Candidate> beam_search(const SearchView& view, std::span<const std::uint32_t> seeds,
                                   const float* query, std::uint64_t L, Scratch& scratch);

// The same over a dataset and its graph.
std::vector<Candidate> beam_search(const Dataset& dataset, const Graph& graph,
                                   std::span<const std::uint32_t> seeds, const float* query,
                                   std::uint64_t L, Scratch& scratch);

}  // namespace velnor
