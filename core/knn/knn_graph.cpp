#include "core/knn/knn_graph.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <span>
#include <string>

#include "core/build.hpp"
#include "core/copy_rows.hpp"
#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/knn/leaf_neighbors.hpp"
#include "core/knn/local_join.hpp"
#include "core/knn/projection.hpp"
#include "core/knn/rp_tree.hpp"
#include "core/parallel.hpp"
#include "core/partition/ball_carving.hpp"
#include "core/stages.hpp"

namespace velnor::knn {

namespace {

constexpr std::uint64_t kProjectionSample = 4096;


partition::LeafList leaves_of_run(const Dataset& search, const KnnGraphParams& params,
                                  std::uint64_t run) {
  BuildParams bp;
  bp.c_max = params.c_max;
  bp.fanout = params.fanout;
  bp.seed = run_seed(params.seed, run);
  if (!params.rp_trees) return partition::partition(search, bp);
  partition::LeafList leaves =
      rp_tree_leaves(search.data(), search.n(), search.d(), params.c_max, bp.seed);
  if (params.fanout >= 2 && leaves.size() >= 2)
    partition::add_halo(search, leaves, params.fanout, bp.seed, partition::HaloMeasure::kProducts);
  return leaves;
}

// Every node once, in the order the leaves first list them.
std::vector<std::uint32_t> first_appearance(const partition::LeafList& leaves, std::uint64_t n) {
  std::vector<std::uint8_t> placed(n, 0);
  std::vector<std::uint32_t> order;
  order.reserve(n);
  for (const auto& leaf : leaves)
    for (const std::uint32_t p : leaf)
      if (!placed[p]) {
        placed[p] = 1;
        order.push_back(p);
      }
  VELNOR_ASSERT(order.size() == n, "leaves must cover every row");
  return order;
}

std::vector<float> gather_rows(const float* rows, std::uint64_t dim,
                               const std::vector<std::uint32_t>& order) {
  constexpr std::size_t kBlock = 1024;
  std::vector<float> out(order.size() * dim);
  parallel_for((order.size() + kBlock - 1) / kBlock, [&](std::size_t b) {
    const std::size_t begin = b * kBlock, count = std::min(kBlock, order.size() - begin);
    copy_rows(rows, dim, std::span<const std::uint32_t>(order).subspan(begin, count),
              out.data() + begin * dim);
  });
  return out;
}

void offer_leaves(const RowSet& set, const partition::LeafList& leaves, std::uint64_t k,
                  NeighborLists& lists) {
  parallel_for(
      leaves.size(), [] { return LeafBuffers(); },
      [&](LeafBuffers& buf, std::size_t i) { offer_leaf_neighbors(set, leaves[i], k, lists, buf); },
      {.counted = true});
}

// The `keep` nearest of each node's candidates by exact sq_l2.
NeighborLists measure_exactly(const Dataset& rows, const NeighborLists& cands, std::uint64_t keep) {
  const std::uint64_t n = cands.size(), d = rows.d();
  NeighborLists exact(n, keep);
  parallel_for(
      n, [] { return std::vector<Candidate>(); },
      [&](std::vector<Candidate>& measured, std::size_t v) {
        const auto ids = cands.ids(v);
        measured.resize(ids.size());
        sq_l2_each(
            rows.row(v), ids.size(), d, [&](std::size_t j) { return rows.row(ids[j]); },
            [&](std::size_t j, float dist) { measured[j] = {ids[j], dist}; });
        exact.offer(static_cast<std::uint32_t>(v), measured);
      },
      {.chunk = 256, .counted = true});
  return exact;
}

}  // namespace

LocalNeighbors local_neighbors(const Dataset& dataset, const KnnGraphParams& params) {
  const std::uint64_t n = dataset.n(), d = dataset.d();
  VELNOR_ASSERT(n <= UINT32_MAX, "too many rows: ids are 32-bit");
  if (params.c_max == 0) throw InvalidArgument("c_max must be >= 1");
  const std::uint64_t keep = std::max(params.keep, params.k);
  const std::uint64_t leaf_k = std::max(params.leaf_k, keep);

  StageLines stages;
  stages.begin("projection");

  // Candidates are searched for among projected rows when that saves work.
  const Projection projection =
      principal_axes(dataset, params.variance, params.max_share, kProjectionSample);
  std::vector<float> projected;
  if (!projection.identity()) projected = project(dataset, projection);
  const std::uint64_t p = projection.p;
  const float* search_rows = projection.identity() ? dataset.data() : projected.data();

  // The first partition fixes the locality order; later ones run on the
  // renumbered rows directly.
  partition::LeafList leaves;
  stages.begin("partition", 0, params.runs > 1 ? ", run 1/" + std::to_string(params.runs) : "");
  {
    const Dataset search(std::span<const float>(search_rows, n * p), n, p, Metric::L2);
    leaves = leaves_of_run(search, params, 0);
  }
  stages.begin("local copy");
  LocalNeighbors out{first_appearance(leaves, n), {}, NeighborLists(0, 0)};
  std::vector<std::uint32_t> rank(n);
  for (std::uint64_t t = 0; t < n; ++t) rank[out.order[t]] = static_cast<std::uint32_t>(t);
  for (auto& leaf : leaves)
    for (std::uint32_t& id : leaf) id = rank[id];
  out.rows = gather_rows(dataset.data(), d, out.order);
  if (!projection.identity()) projected = gather_rows(projected.data(), p, out.order);
  const float* local_search = projection.identity() ? out.rows.data() : projected.data();
  const std::vector<float> norms = squared_norms(local_search, n, p);
  const RowSet set{local_search, norms.data(), n, p};

  NeighborLists cands(n, leaf_k);
  const std::uint64_t runs = std::max<std::uint64_t>(params.runs, 1);
  const auto of_run = [&](std::uint64_t run) {
    return runs > 1 ? ", run " + std::to_string(run + 1) + "/" + std::to_string(runs) : std::string();
  };
  stages.begin("leaves", leaves.size(), of_run(0));
  offer_leaves(set, leaves, leaf_k, cands);
  const Dataset search(std::span<const float>(local_search, n * p), n, p, Metric::L2);
  for (std::uint64_t run = 1; run < runs; ++run) {
    stages.begin("partition", 0, of_run(run));
    leaves = leaves_of_run(search, params, run);
    stages.begin("leaves", leaves.size(), of_run(run));
    offer_leaves(set, leaves, leaf_k, cands);
  }
  partition::LeafList().swap(leaves);

  const Dataset local(out.rows, n, d, Metric::L2);
  stages.begin("exact", n);
  out.lists = measure_exactly(local, cands, keep);
  const double stop = params.join_stop * static_cast<double>(n * keep);
  for (std::uint64_t pass = 0; pass < params.joins; ++pass) {
    stages.begin("local join", n, params.joins > 1 ? ", pass " + std::to_string(pass + 1) : "");
    const std::uint64_t fresh = local_join(local, out.lists, params.join_sample);
    if (static_cast<double>(fresh) < stop) break;
  }
  stages.end();
  return out;
}

KnnResult knn_graph(const Dataset& dataset, const KnnGraphParams& params) {
  const std::uint64_t n = dataset.n();
  KnnResult result;
  result.stride = self_stride(n, params.k);
  result.indices.assign(n * result.stride, 0);
  result.distances.assign(n * result.stride, 0.0f);
  if (n == 0) return result;
  const LocalNeighbors found = local_neighbors(dataset, params);
  const Metric metric = dataset.metric();
  const std::uint64_t stride = result.stride;
  parallel_for(
      n,
      [&](std::size_t v) {
        const std::uint32_t self = found.order[v];
        std::uint32_t* ids = result.indices.data() + std::uint64_t{self} * stride;
        float* dists = result.distances.data() + std::uint64_t{self} * stride;
        ids[0] = self;
        dists[0] = 0.0f;
        const auto near = found.lists.ids(v);
        const auto near_dists = found.lists.dists(v);
        for (std::uint64_t j = 1; j < stride; ++j) {
          if (j - 1 < near.size()) {
            ids[j] = found.order[near[j - 1]];
            dists[j] = metric.reported(near_dists[j - 1]);
          } else {
            ids[j] = self;
            dists[j] = 0.0f;
          }
        }
      },
      {.chunk = 1024});
  return result;
}

}  // namespace velnor::knn
