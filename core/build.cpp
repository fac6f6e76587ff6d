#include "core/build.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "core/error.hpp"
#include "core/hashprune/hyperplanes.hpp"
#include "core/hashprune/reservoir.hpp"
#include "core/leaf/gemm.hpp"
#include "core/parallel.hpp"
#include "core/partition/ball_carving.hpp"
#include "core/profile.hpp"
#include "core/robust_prune.hpp"

namespace velnor {

namespace {

constexpr std::uint64_t kRunSeedStep = 0x9E3779B97F4A7C15ull;

void print_stage_line(const char* label, double seconds) {
  char line[96];
  std::snprintf(line, sizeof line, "[velnor] %-14s %7.3fs", label, seconds);
  print_profile_line(line);
}

void print_run_line(std::uint64_t run, std::uint64_t runs, std::uint64_t leaves, double repl) {
  char line[128];
  std::snprintf(line, sizeof line, "[velnor] run %llu/%llu leaves=%llu repl=%.2fx",
                static_cast<unsigned long long>(run), static_cast<unsigned long long>(runs),
                static_cast<unsigned long long>(leaves), repl);
  print_profile_line(line);
}

double replication(const partition::LeafList& leaves, std::uint64_t n) {
  std::uint64_t total = 0;
  for (const auto& leaf : leaves) total += leaf.size();
  return static_cast<double>(total) / static_cast<double>(n);
}

// Points per piece of the search order: a piece's rows fit in a core's cache.
constexpr std::uint64_t kOrderPiece = 128;
constexpr std::uint64_t kOrderSeedMix = 0x6F72646572ull;

// Every point once, near points together at every scale: leaf by leaf (each
// point at its first appearance), and within a leaf the pieces of a finer
// carving (at most kOrderPiece points), depth-first. Neighbours of
// consecutive points then share rows, which keeps them in cache. The finer
// carving of leaf i is seeded from (seed ^ kOrderSeedMix) + i, so the order
// depends on neither the number of workers nor scheduling.
std::vector<std::uint32_t> leaf_order(const Dataset& dataset, const partition::LeafList& leaves,
                                      std::uint64_t seed) {
  std::vector<std::vector<std::uint32_t>> firsts(leaves.size());
  std::vector<bool> seen(dataset.n(), false);
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    for (const std::uint32_t p : leaves[i]) {
      if (!seen[p]) {
        seen[p] = true;
        firsts[i].push_back(p);
      }
    }
  }
  std::vector<partition::LeafList> pieces(leaves.size());
  parallel_for(leaves.size(), [&](std::size_t i) {
    ChaCha8 rng((seed ^ kOrderSeedMix) + i);
    partition::carve_disjoint(dataset, kOrderPiece, std::move(firsts[i]), 0, rng, pieces[i]);
  });
  std::vector<std::uint32_t> order;
  order.reserve(dataset.n());
  for (const auto& leaf_pieces : pieces) {
    for (const auto& piece : leaf_pieces) order.insert(order.end(), piece.begin(), piece.end());
  }
  return order;
}

// Feeds every leaf of every run into the reservoirs. Returns the points in
// the leaf order of the last run.
std::vector<std::uint32_t> fill_reservoirs(const Dataset& dataset, const BuildParams& params,
                                           const hashprune::Hyperplanes& hyperplanes,
                                           const std::vector<float>& projections,
                                           hashprune::NodeReservoirs& reservoirs, bool profile) {
  std::vector<std::uint32_t> order;
  const std::uint64_t runs = std::max<std::uint64_t>(params.runs, 1);
  for (std::uint64_t t = 0; t < runs; ++t) {
    const std::string of_run =
        runs > 1 ? ", run " + std::to_string(t + 1) + "/" + std::to_string(runs) : "";
    BuildParams run_params = params;
    run_params.seed = run_seed(params.seed, t);
    begin_stage("partition" + of_run);
    partition::LeafList leaves = partition::partition(dataset, run_params);
    if (profile) print_run_line(t + 1, runs, leaves.size(), replication(leaves, dataset.n()));

    // Largest leaves first, so no big leaf is left alone at the end.
    std::vector<std::uint32_t> by_size(leaves.size());
    for (std::uint32_t i = 0; i < by_size.size(); ++i) by_size[i] = i;
    std::stable_sort(by_size.begin(), by_size.end(), [&](std::uint32_t a, std::uint32_t b) {
      return leaves[a].size() > leaves[b].size();
    });
    begin_stage("leaf+hashprune" + of_run, by_size.size());
    parallel_for(
        by_size.size(), [] { return leaf::LeafScratch{}; },
        [&](leaf::LeafScratch& scratch, std::size_t i) {
          leaf::insert_leaf_edges(dataset, leaves[by_size[i]], params.l_max, projections,
                                  hyperplanes, reservoirs, scratch);
        },
        {.counted = true});
    if (t + 1 == runs) order = leaf_order(dataset, leaves, run_params.seed);
  }
  return order;
}

// Reads every reservoir out (consuming it), keeps the first keep_cands pairs
// of each and prunes it to at most r out-neighbours. Nodes are visited in
// `order`; each node's result depends on its own reservoir only.
AdjacencyTable prune_all(const Dataset& dataset, const BuildParams& params,
                         hashprune::NodeReservoirs& reservoirs, std::uint64_t keep_cands,
                         const std::vector<std::uint32_t>& order,
                         std::vector<std::vector<Candidate>>& candidates) {
  const std::uint64_t n = dataset.n();
  AdjacencyTable pruned(n, params.r);
  if (keep_cands != 0) candidates.resize(n);
  begin_stage("robustprune", n);
  parallel_for(n, [&](std::size_t at) {
    const std::uint32_t i = order[at];
    std::vector<Candidate> sorted = reservoirs.reservoirs[i].into_sorted();
    if (keep_cands != 0) {
      const std::size_t count = std::min<std::uint64_t>(keep_cands, sorted.size());
      candidates[i].reserve(count);
      candidates[i].assign(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(count));
    }
    const auto ids = robust_prune(dataset, i, sorted, params.r, params.alpha);
    std::copy(ids.begin(), ids.end(), pruned.ids.begin() + static_cast<std::ptrdiff_t>(i * params.r));
    pruned.degree[i] = static_cast<std::uint32_t>(ids.size());
  }, {.counted = true});
  return pruned;
}

}  // namespace

std::uint64_t run_seed(std::uint64_t seed, std::uint64_t run) { return seed + run * kRunSeedStep; }

BuildResult build_index_with_cands(const Dataset& dataset, const BuildParams& given,
                                   std::uint64_t keep_cands) {
  const std::uint64_t n = dataset.n();
  // A reservoir never holds more than the n - 1 other points, and a list no
  // more than n - 1 neighbours: capacities beyond n change no result, but
  // would be reserved up front (n * r slots for the pruned lists).
  BuildParams params = given;
  params.l_max = std::min(params.l_max, n);
  params.r = std::min(params.r, n);
  BuildResult result;
  if (n == 0) {
    result.graph = Graph::from_adjacency({}, 0);
    return result;
  }
  VELNOR_ASSERT(n <= UINT32_MAX, "too many points: ids are 32-bit");
  if (params.r == 0) throw InvalidArgument("r must be >= 1");
  if (params.c_max == 0) throw InvalidArgument("c_max must be >= 1");
  dataset.require_finite_norms();  // before any work

  const bool profile = profiling_enabled();
  Stopwatch clock;

  begin_stage("sketch");
  // Refuses m > 16 before any partitioning or leaf work.
  const hashprune::Hyperplanes hyperplanes(params.m, dataset.d(), params.seed);
  const std::vector<float> projections = hyperplanes.sketch_all(dataset);
  if (profile) print_stage_line("sketch", clock.seconds());
  clock.restart();

  std::optional<hashprune::NodeReservoirs> reservoirs(std::in_place, n, params.l_max);
  std::vector<std::uint32_t> order =
      fill_reservoirs(dataset, params, hyperplanes, projections, *reservoirs, profile);
  if (profile) print_stage_line("leaf+hashprune", clock.seconds());
  clock.restart();

  AdjacencyTable pruned = prune_all(dataset, params, *reservoirs, keep_cands, order, result.candidates);
  reservoirs.reset();
  if (profile) print_stage_line("robustprune", clock.seconds());
  clock.restart();

  begin_stage("symmetrize", n);
  const std::uint32_t medoid = approx_medoid(dataset);
  AdjacencyTable symmetric = symmetrize_flat(pruned, dataset, order);
  pruned = AdjacencyTable(0, 0);
  result.graph = assemble_graph(symmetric, medoid);
  result.order = std::move(order);
  if (profile) print_stage_line("symmetrize", clock.seconds());
  return result;
}

}  // namespace velnor
