#pragma once
// The arguments shared by the entry points that build the graph index: from
// `metric` to `seed`, in declaration order.
#include "core/build.hpp"
#include "python/velnor/frame.hpp"

namespace velnor::py {

struct BuildArguments {
  BuildParams params;         // m, l_max, r, alpha, fanout, c_min, c_max, runs, seed, metric
  std::uint64_t beam_l = 64;  // search width (not part of the build)
  std::uint64_t n_jobs = 0;   // worker pool size, 0 = the default pool
};

// Converts metric, m, l_max, r, alpha, [beam_l,] fanout, c_min, c_max, runs,
// n_jobs, seed, starting at argument `first`, then parses the metric.
// Returns false with a Python exception set.
bool convert_build_arguments(Arguments& a, std::size_t first, bool with_beam_l,
                             BuildArguments& out);

}  // namespace velnor::py
