#pragma once
// The self-kNN drivers: each turns a built graph into a flat k-NN table of
// every base row, running its rows in parallel on the current pool (external
// queries: SearchIndex::query). Rows rank by sq_l2 and report the
// dataset metric's form of the distance. Results do not depend on the number
// of workers.
#include <cstdint>
#include <span>
#include <vector>

#include "core/candidate.hpp"
#include "core/dataset.hpp"
#include "core/graph.hpp"
#include "core/knn_result.hpp"

namespace velnor {

// Self-kNN by graph search: every base row searched with width
// max(stride, beam_l), seeded by itself and then, when `warm` is given, by its
// warm list (one list per row, nearest first). Rows hold min(k + 1, n)
// entries, the row itself first, padded with (row, 0). The searches run over
// a copy of the rows renumbered by `order` (every row once; the build's
// order keeps near rows together), or breadth-first over the graph without
// one; the result is the same.
KnnResult knn_self_graph(const Dataset& dataset, const Graph& graph,
                         const std::vector<std::vector<Candidate>>* warm, std::uint64_t k,
                         std::uint64_t beam_l, const std::vector<std::uint32_t>* order = nullptr);

// Self-kNN without search: every base row ranks by exact distance the ids of
// its candidate list, and with `expand` also the graph neighbours of the row
// and of its six nearest candidates. Rows hold min(k + 1, n) entries, the row
// itself first at distance 0, padded with (row, 0).
KnnResult knn_self_reservoir(const Dataset& dataset, const Graph& graph,
                             const std::vector<std::vector<Candidate>>& cands, std::uint64_t k,
                             bool expand);

}  // namespace velnor
