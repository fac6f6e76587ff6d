#include "core/build.hpp"

#include <cmath>
#include <cstdio>
#include <algorithm>
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

// Non-finite values (or squared norms overflowing f32) make distances NaN or
// unorderable somewhere in the build; refuse them before any work.
void check_finite_rows(const Dataset& dataset) {
  for (const float norm : dataset.norms()) {
    if (!std::isfinite(norm))
      throw Error("input holds NaN or infinity (or a row whose squared norm overflows float32)");
  }
}

double replication(const partition::LeafList& leaves, std::uint64_t n) {
  std::uint64_t total = 0;
  for (const auto& leaf : leaves) total += leaf.size();
  return static_cast<double>(total) / static_cast<double>(n);
}

// Feeds every leaf of every run into the reservoirs.
void fill_reservoirs(const Dataset& dataset, const BuildParams& params,
                     const hashprune::Hyperplanes& hyperplanes,
                     const std::vector<float>& projections, hashprune::NodeReservoirs& reservoirs,
                     bool profile) {
  const std::uint64_t runs = std::max<std::uint64_t>(params.runs, 1);
  for (std::uint64_t t = 0; t < runs; ++t) {
    BuildParams run_params = params;
    run_params.seed = run_seed(params.seed, t);
    partition::LeafList leaves = partition::partition(dataset, run_params);
    if (profile) print_run_line(t + 1, runs, leaves.size(), replication(leaves, dataset.n()));

    // Largest leaves first, so no big leaf is left alone at the end.
    std::vector<std::uint32_t> order(leaves.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      return leaves[a].size() > leaves[b].size();
    });
    parallel_for(
        order.size(), [] { return leaf::LeafScratch{}; },
        [&](leaf::LeafScratch& scratch, std::size_t i) {
          leaf::insert_leaf_edges(dataset, leaves[order[i]], params.l_max, projections,
                                  hyperplanes, reservoirs, scratch);
        });
  }
}

// Reads every reservoir out (consuming it), keeps the first keep_cands pairs
// of each and prunes it to at most r out-neighbours.
AdjacencyTable prune_all(const Dataset& dataset, const BuildParams& params,
                         hashprune::NodeReservoirs& reservoirs, std::uint64_t keep_cands,
                         std::vector<std::vector<Candidate>>& candidates) {
  const std::uint64_t n = dataset.n();
  AdjacencyTable pruned(n, params.r);
  if (keep_cands != 0) candidates.resize(n);
  parallel_for(n, [&](std::size_t i) {
        std::vector<Candidate> sorted = reservoirs.reservoirs[i].into_sorted();
        if (keep_cands != 0) {
          const std::size_t count = std::min<std::uint64_t>(keep_cands, sorted.size());
          candidates[i].reserve(count);
          candidates[i].assign(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(count));
        }
        const auto ids = robust_prune(dataset, static_cast<std::uint32_t>(i), sorted, params.r,
                                      params.alpha);
        std::copy(ids.begin(), ids.end(),
                  pruned.ids.begin() + static_cast<std::ptrdiff_t>(i * params.r));
        pruned.degree[i] = static_cast<std::uint32_t>(ids.size());
      });
  return pruned;
}

}  // namespace

std::uint64_t run_seed(std::uint64_t seed, std::uint64_t run) { return seed + run * kRunSeedStep; }

BuildResult build_index_with_cands(const Dataset& dataset, const BuildParams& params,
                                   std::uint64_t keep_cands) {
  const std::uint64_t n = dataset.n();
  BuildResult result;
  if (n == 0) {
    result.graph = Graph::from_adjacency({}, 0);
    return result;
  }
  VELNOR_ASSERT(n <= UINT32_MAX, "too many points: ids are 32-bit");
  if (params.m > hashprune::kMaxPlanes) throw InvalidArgument("m must be <= 16 (code packs into u16)");
  if (params.r == 0) throw InvalidArgument("r must be >= 1");
  if (params.c_max == 0) throw InvalidArgument("c_max must be >= 1");
  check_finite_rows(dataset);

  const bool profile = profiling_enabled();
  Stopwatch clock;

  const hashprune::Hyperplanes hyperplanes(params.m, dataset.d(), params.seed);
  const std::vector<float> projections = hyperplanes.sketch_all(dataset);
  if (profile) print_stage_line("sketch", clock.seconds());
  clock.restart();

  std::optional<hashprune::NodeReservoirs> reservoirs(std::in_place, n, params.l_max);
  fill_reservoirs(dataset, params, hyperplanes, projections, *reservoirs, profile);
  if (profile) print_stage_line("leaf+hashprune", clock.seconds());
  clock.restart();

  AdjacencyTable pruned = prune_all(dataset, params, *reservoirs, keep_cands, result.candidates);
  reservoirs.reset();
  if (profile) print_stage_line("robustprune", clock.seconds());
  clock.restart();

  const std::uint32_t medoid = approx_medoid(dataset);
  AdjacencyTable symmetric = symmetrize_flat(pruned, dataset);
  pruned = AdjacencyTable(0, 0);
  result.graph = assemble_graph(symmetric, medoid);
  if (profile) print_stage_line("symmetrize", clock.seconds());
  return result;
}

}  // namespace velnor
