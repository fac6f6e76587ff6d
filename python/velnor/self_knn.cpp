// build_and_self_knn: the k nearest rows of every row of one matrix. Small
// inputs are answered exactly by brute force, larger ones through the graph.
#include <algorithm>
#include <string>

#include "core/batch_query.hpp"
#include "core/bruteforce.hpp"
#include "core/dataset.hpp"
#include "core/profile.hpp"
#include "python/velnor/build_arguments.hpp"
#include "python/velnor/entries.hpp"

namespace velnor::py {

const char build_and_self_knn_doc[] =
    "build_and_self_knn(x, n_neighbors, metric=\"euclidean\", m=12, l_max=64, r=64, "
    "alpha=1.2, beam_l=64, fanout=2, c_min=256, c_max=2048, runs=1, n_jobs=0, seed=0)\n"
    "--\n"
    "\n"
    "Build the index and return self-kNN as flat arrays.\n"
    "\n"
    "Returns `(indices, distances, stride)` where `indices`/`distances` are\n"
    "length `n * stride` row-major and `stride == k + 1` (self edge first).\n"
    "\n"
    "Phase 0 routes through exact brute force; later phases swap in the Velnor\n"
    "graph build + BeamSearch behind this same signature.";

namespace {

const Signature kSignature = {
    "build_and_self_knn",
    {"x", "n_neighbors", "metric", "m", "l_max", "r", "alpha", "beam_l", "fanout", "c_min",
     "c_max", "runs", "n_jobs", "seed"},
    2};

// Inputs up to this many rows (or c_max, if smaller) are answered exactly.
constexpr std::uint64_t kExactRouteRows = 2048;

// Build the graph, then answer every row by the mode VELNOR_QUERY names:
// "warm" seeds each search with the row's reservoir candidates, "reservoir"
// ranks candidates and their graph neighbours without searching, anything
// else ("beam", the default) searches from the row alone.
KnnResult graph_self_knn(const Dataset& dataset, const BuildArguments& b, std::uint64_t k) {
  const bool profile = profiling_enabled();
  const std::string mode = env_unicode("VELNOR_QUERY").value_or("beam");
  const std::uint64_t wanted = std::max<std::uint64_t>(k == UINT64_MAX ? k : k + 1, 32);
  const std::uint64_t keep_cands = mode == "beam" ? 0 : std::min(b.params.l_max, wanted);

  Stopwatch clock;
  BuildResult built = build_index_with_cands(dataset, b.params, keep_cands);
  const double build_seconds = clock.seconds();

  clock.restart();
  KnnResult result;
  if (mode == "warm") {
    result = knn_self_graph(dataset, built.graph, &built.candidates, k, b.beam_l, &built.order);
  } else if (mode == "reservoir") {
    result = knn_self_reservoir(dataset, built.graph, built.candidates, k, true);
  } else {
    result = knn_self_graph(dataset, built.graph, nullptr, k, b.beam_l, &built.order);
  }
  if (profile) {
    print_profile_line("[velnor] BUILD=" + format_seconds(build_seconds) +
                       "s QUERY=" + format_seconds(clock.seconds()) + "s [" + mode + "]");
  }
  return result;
}

// build_and_self_knn run with the given options.
PyObject* self_knn(PyObject* module, PyObject* args, PyObject* kwargs, RunOptions options) {
  const ModuleState& state = module_state(module);
  Arguments a(kSignature);
  Matrix x;
  std::uint64_t k = 0;
  BuildArguments b;
  if (!a.bind(args, kwargs) || !a.matrix(0, state, x) || !a.u64(1, k) ||
      !convert_build_arguments(a, 2, true, b)) {
    return nullptr;
  }
  if (x.rows() == 0) {
    PyErr_SetString(PyExc_ValueError, "empty input matrix");
    return nullptr;
  }
  if (!check_row_count(x)) return nullptr;
  const std::uint64_t n = x.rows(), d = x.cols();
  const bool exact = n <= std::min(kExactRouteRows, b.params.c_max);
  std::vector<float> copied;
  std::span<const float> rows;
  if (auto flat = x.contiguous()) {
    rows = *flat;
  } else {
    if (!x.copy(copied)) return nullptr;
    rows = copied;
  }
  KnnResult result;
  const bool ok = run_released(b.n_jobs, [&] {
    check_finite(rows, x.name());
    const Dataset dataset(rows, n, d, b.params.metric);
    result = exact ? knn_self_bruteforce(dataset, k) : graph_self_knn(dataset, b, k);
  }, options);
  if (!ok) return nullptr;
  return result_tuple(state, std::move(result));
}

}  // namespace

PyObject* build_and_self_knn(PyObject* module, PyObject* args, PyObject* kwargs) {
  return self_knn(module, args, kwargs, {});
}

const char build_and_self_knn_verbose_doc[] =
    "_build_and_self_knn_verbose(x, n_neighbors, metric=\"euclidean\", m=12, l_max=64, r=64, "
    "alpha=1.2, beam_l=64, fanout=2, c_min=256, c_max=2048, runs=1, n_jobs=0, seed=0)\n"
    "--\n"
    "\n"
    "build_and_self_knn drawing its progress on sys.stderr (private: for tests).";

PyObject* build_and_self_knn_verbose(PyObject* module, PyObject* args, PyObject* kwargs) {
  return self_knn(module, args, kwargs, {.verbose = true});
}

}  // namespace velnor::py
