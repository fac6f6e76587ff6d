#include "core/hnsw/hnsw.hpp"

#include <algorithm>
#include <optional>

#include "core/hnsw/node_distance.hpp"
#include "core/hnsw/search_layer.hpp"
#include "core/hnsw/sq8.hpp"
#include "core/hnsw/structure.hpp"
#include "core/parallel.hpp"

namespace velnor {

namespace {

struct QueryScratch {
  explicit QueryScratch(std::uint64_t nodes) : marks(nodes) {}
  VisitedMarks marks;
  std::vector<Candidate> row;
};

// Writes row i of the result: the search's nearest min(kk, found) ids
// re-ranked by exact distance, the row itself added at distance 0 if the
// search missed it, and the row's own index as padding at the end.
template <class Dist>
void answer_row(const Dist& dist, const ExactDistance& exact, const Hnsw& graph,
                std::uint64_t ef, std::uint64_t kk, std::uint32_t i, QueryScratch& s,
                std::uint32_t* out_ids, float* out_dists) {
  std::uint32_t cur = graph.entry;
  for (std::uint64_t layer = graph.entry_level; layer >= 1; --layer) {
    cur = nearest_candidate(search_layer(dist, i, cur, 1, layer, graph, s.marks));
  }
  std::vector<Candidate> found = search_layer(dist, i, cur, ef, 0, graph, s.marks);
  sort_candidates(found);
  const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(kk, found.size()));
  s.row.clear();
  bool has_self = false;
  for (std::size_t j = 0; j < kept; ++j) {
    const std::uint32_t x = found[j].id;
    s.row.push_back({x, exact(i, x)});
    has_self = has_self || x == i;
  }
  if (!has_self) s.row.push_back({i, 0.0f});
  sort_candidates(s.row);
  const Metric metric = exact.dataset.metric();
  for (std::uint64_t j = 0; j < kk; ++j) {
    const Candidate c = j < s.row.size() ? s.row[j] : Candidate{i, 0.0f};
    out_ids[j] = c.id;
    out_dists[j] = metric.reported(c.dist);
  }
}

template <class Dist>
KnnResult build_and_answer(const Dataset& dataset, const Dist& dist, const HnswParams& params,
                           std::uint64_t k) {
  const std::uint64_t n = dataset.n();
  KnnResult result;
  result.stride = self_stride(n, k);
  if (n == 0) return result;
  const Hnsw graph = Hnsw::build(dist, n, params.m, params.ef_construction, params.seed);

  const std::uint64_t kk = result.stride;
  const std::uint64_t ef = std::max(kk, params.ef_search);
  result.indices.assign(n * kk, 0);
  result.distances.assign(n * kk, 0.0f);
  const ExactDistance exact{dataset};
  begin_stage("HNSW search", n);
  parallel_for(
      n, [n] { return QueryScratch(n); },
      [&](QueryScratch& s, std::size_t i) {
        answer_row(dist, exact, graph, ef, kk, static_cast<std::uint32_t>(i), s,
                   result.indices.data() + i * kk, result.distances.data() + i * kk);
      },
      {.chunk = 16, .counted = true});
  return result;
}

}  // namespace

KnnResult knn_self_hnsw(const Dataset& dataset, const HnswParams& params, std::uint64_t k) {
  if (params.quantize) {
    // Code distances weigh each dimension by its squared code step, which
    // overflows with the rows' squared norms.
    dataset.require_finite_norms();
    begin_stage("quantize");
    const Sq8 sq8(dataset);
    return build_and_answer(dataset, CodeDistance{sq8}, params, k);
  }
  return build_and_answer(dataset, ExactDistance{dataset}, params, k);
}

}  // namespace velnor
