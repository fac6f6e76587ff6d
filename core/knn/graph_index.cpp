#include "core/knn/graph_index.hpp"

#include <algorithm>

#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/stages.hpp"
#include "core/robust_prune.hpp"
#include "core/search/connect.hpp"
#include "core/search/search_index.hpp"
#include "core/distance.hpp"

namespace velnor::knn {

namespace {

// Searches for every refine_every-th node on the linked graph `built`, as
// its index would answer a query, and prunes again those nodes' lists in
// `pruned` with what the searches found added to their candidates.
void refine(const Dataset& local, const GraphIndex& built, const GraphIndexParams& params,
            AdjacencyTable& pruned, StageLines& stages) {
  const std::uint64_t n = local.n(), d = local.d();
  const std::uint64_t every = params.refine_every;
  const std::uint64_t searched = n / every;
  SearchIndex::Arrays arrays;
  arrays.n = n;
  arrays.d = d;
  arrays.metric = Metric::L2;
  arrays.rows = {local.data(), n * d};
  arrays.norms = local.norms();
  arrays.offsets = built.graph.offsets;
  arrays.neighbors = built.graph.neighbors;
  arrays.order = built.order;
  arrays.medoid = built.graph.medoid;
  const SearchIndex index(arrays, nullptr);

  stages.begin("refine search");
  std::vector<float> queries(searched * d);
  for (std::uint64_t s = 0; s < searched; ++s) {
    std::copy_n(local.row(s * every), d, queries.data() + s * d);
  }
  const std::uint64_t k = std::min(params.refine_beam, n);
  const KnnResult answers = index.query(queries, searched, k, params.refine_beam);
  std::vector<float>().swap(queries);

  stages.begin("refine prune", searched);
  parallel_for(
      searched, [] { return std::vector<Candidate>(); },
      [&](std::vector<Candidate>& cands, std::size_t s) {
        const auto v = static_cast<std::uint32_t>(s * every);
        cands.clear();
        for (const std::uint32_t u : pruned.row(v)) {
          cands.push_back({u, sq_l2(local.row(v), local.row(u), d)});
        }
        for (std::uint64_t j = 0; j < answers.stride; ++j) {
          const std::uint32_t u = index.node_of(answers.indices[s * answers.stride + j]);
          const bool known = std::any_of(cands.begin(), cands.end(),
                                         [&](const Candidate& c) { return c.id == u; });
          if (u != v && !known) cands.push_back({u, sq_l2(local.row(v), local.row(u), d)});
        }
        const std::vector<std::uint32_t> kept = robust_prune(local, v, cands, params.r, params.alpha);
        std::copy(kept.begin(), kept.end(), pruned.ids.begin() + static_cast<std::ptrdiff_t>(v * params.r));
        pruned.degree[v] = static_cast<std::uint32_t>(kept.size());
      },
      {.chunk = 16, .counted = true});
}

}  // namespace

GraphIndex build_graph_index(const Dataset& dataset, const GraphIndexParams& params) {
  if (params.r == 0) throw InvalidArgument("r must be >= 1");
  const std::uint64_t n = dataset.n(), d = dataset.d();
  GraphIndex out;
  if (n == 0) return out;
  LocalNeighbors found = local_neighbors(dataset, params.neighbors);
  out.order = std::move(found.order);
  out.rows = std::move(found.rows);
  const Dataset local(out.rows, n, d, Metric::L2);

  StageLines stages;
  stages.begin("robustprune", n);
  AdjacencyTable pruned(n, params.r);
  parallel_for(
      n, [] { return std::vector<Candidate>(); },
      [&](std::vector<Candidate>& cands, std::size_t v) {
        const auto ids = found.lists.ids(v);
        const auto dists = found.lists.dists(v);
        cands.resize(ids.size());
        for (std::size_t j = 0; j < ids.size(); ++j) cands[j] = Candidate{ids[j], dists[j]};
        const std::vector<std::uint32_t> kept =
            robust_prune(local, static_cast<std::uint32_t>(v), cands, params.r, params.alpha);
        std::copy(kept.begin(), kept.end(), pruned.ids.begin() + static_cast<std::ptrdiff_t>(v * params.r));
        pruned.degree[v] = static_cast<std::uint32_t>(kept.size());
      },
      {.chunk = 256, .counted = true});
  found.lists = NeighborLists(0, 0);

  const std::uint32_t medoid = approx_medoid(local);
  const auto link = [&] {
    stages.begin("symmetrize");
    out.graph = assemble_graph(symmetrize_flat(pruned, local), medoid);
    stages.begin("connect");
    out.graph = connect_from_medoid(local, std::move(out.graph), params.connect_beam);
  };
  link();
  if (params.refine_every != 0 && n > params.refine_every) {
    refine(local, out, params, pruned, stages);
    link();
  }
  stages.end();
  return out;
}

}  // namespace velnor::knn
