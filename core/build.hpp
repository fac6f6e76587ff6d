#pragma once
// The partition-and-prune graph build: hyperplane sketches, `runs` passes of
// ball carving with per-leaf distance blocks feeding per-node HashPrune
// reservoirs, RobustPrune of every reservoir, then symmetrization into the
// final Graph. The result depends only on the dataset and the parameters,
// never on the number of workers.
#include <cstdint>
#include <vector>

#include "core/candidate.hpp"
#include "core/dataset.hpp"
#include "core/graph.hpp"
#include "core/metric.hpp"

namespace velnor {

struct BuildParams {
  std::uint64_t m = 12;        // hyperplanes, i.e. hash-code bits (at most 16)
  std::uint64_t l_max = 64;    // reservoir capacity and leaf neighbours per point
  std::uint64_t r = 64;        // out-degree bound of the graph (at least 1)
  std::uint64_t fanout = 2;    // leaves each point ends up in (carved + halo)
  std::uint64_t c_min = 256;   // carried along; no lower bound is enforced on leaves
  std::uint64_t c_max = 2048;  // largest carved leaf (at least 1)
  std::uint64_t runs = 1;      // partition passes feeding the same reservoirs (0 acts as 1)
  std::uint64_t seed = 0;      // hyperplanes and the per-run partition seeds
  float alpha = 1.2f;          // RobustPrune factor
  Metric metric;               // carried; the dataset already stores rows in its form
};

struct BuildResult {
  Graph graph;
  // Per node, up to keep_cands pairs of its reservoir read-out, ascending by
  // (bfloat16-rounded distance, id); all empty when keep_cands is 0.
  std::vector<std::vector<Candidate>> candidates;
  // Every node once, near nodes together (the last run's leaves, finely
  // re-carved): searches over rows stored in this order find them in cache.
  std::vector<std::uint32_t> order;
};

// Partition run t's seed: seed + t * 0x9E3779B97F4A7C15, wrapping.
std::uint64_t run_seed(std::uint64_t seed, std::uint64_t run);

// Builds the graph. Prints stage and run timing lines on standard error when
// VELNOR_PROFILE is set. Throws InvalidArgument for m > 16, r = 0 or
// c_max = 0 (with points), and Error for input holding NaN or infinity.
BuildResult build_index_with_cands(const Dataset& dataset, const BuildParams& params,
                                   std::uint64_t keep_cands);

}  // namespace velnor
