#pragma once
// The query drivers: each turns a built graph into a flat k-NN table, running
// its rows in parallel on the current pool. Rows rank by sq_l2 and report the
// dataset metric's form of the distance. Results do not depend on the number
// of workers.
#include <cstdint>
#include <span>
#include <vector>

#include "core/candidate.hpp"
#include "core/dataset.hpp"
#include "core/graph.hpp"
#include "core/knn_result.hpp"
#include "core/search/locality_copy.hpp"

namespace velnor {

// The min(k, n) nearest base rows of each of the n_q query rows (n_q * d
// values, row-major, used as given), searched with width max(stride, beam_l)
// from the nearest pivots (core/search/pivots.hpp). A row the search cannot
// fill repeats its last entry. Throws velnor::InvalidArgument for k = 0 or an
// empty base. With `local`, a renumbered copy of this dataset and graph, the
// searches run over the copy (same results, better memory locality).
KnnResult knn_query(const Dataset& dataset, const Graph& graph, std::span<const float> queries,
                    std::uint64_t n_q, std::uint64_t k, std::uint64_t beam_l,
                    const LocalityCopy* local = nullptr);

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
