#include "core/knn/graph_index.hpp"

#include <algorithm>

#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/stages.hpp"
#include "core/robust_prune.hpp"
#include "core/search/connect.hpp"

namespace velnor::knn {

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
  stages.begin("symmetrize");

  const std::uint32_t medoid = approx_medoid(local);
  const AdjacencyTable symmetric = symmetrize_flat(pruned, local);
  pruned = AdjacencyTable(0, 0);
  out.graph = assemble_graph(symmetric, medoid);
  stages.begin("connect");
  out.graph = connect_from_medoid(local, std::move(out.graph), params.connect_beam);
  stages.end();
  return out;
}

}  // namespace velnor::knn
