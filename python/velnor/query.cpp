// build_and_query: build the index over a base matrix and answer a separate
// matrix of held-out queries.
#include <string>

#include "core/build.hpp"
#include "core/search/search_index.hpp"
#include "core/dataset.hpp"
#include "core/profile.hpp"
#include "python/velnor/build_arguments.hpp"
#include "python/velnor/entries.hpp"

namespace velnor::py {

const char build_and_query_doc[] =
    "build_and_query(x, queries, n_neighbors, metric=\"euclidean\", m=12, l_max=64, r=64, "
    "alpha=1.2, beam_l=64, fanout=2, c_min=256, c_max=2048, runs=1, n_jobs=0, seed=0)\n"
    "--\n"
    "\n"
    "Build a Velnor index over `x` (the base set) and return k-NN for an external\n"
    "`queries` set \xe2\x80\x94 the ANN-benchmark path (held-out queries vs. self-kNN).\n"
    "\n"
    "Returns `(indices, distances, stride)` with `indices`/`distances` length\n"
    "`n_q * stride`, `stride == n_neighbors` (no self edge). `beam_l` is the\n"
    "search-side recall/speed knob; `runs` is the build-side one.";

namespace {

const Signature kSignature = {
    "build_and_query",
    {"x", "queries", "n_neighbors", "metric", "m", "l_max", "r", "alpha", "beam_l", "fanout",
     "c_min", "c_max", "runs", "n_jobs", "seed"},
    3};

}  // namespace

bool check_query_dim(const Matrix& queries, std::uint64_t base_dim) {
  if (queries.cols() == base_dim) return true;
  const std::string message = "query dim " + std::to_string(queries.cols()) +
                              " != base dim " + std::to_string(base_dim);
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

PyObject* query_search_index(const ModuleState& state, const SearchIndex& index,
                             const Matrix& queries, std::uint64_t k, std::uint64_t beam_l,
                             std::uint64_t n_jobs, bool unit_queries, std::uint64_t seeds) {
  if (!check_query_dim(queries, index.d())) return nullptr;
  std::vector<float> query_rows;
  if (!queries.copy(query_rows)) return nullptr;
  const std::uint64_t n_q = queries.rows();
  KnnResult result;
  // A few rows are searched on this thread: a hand-off to a waiting thread
  // would cost more than the search.
  const bool ok = run_released(
      n_jobs,
      [&] {
        check_finite(query_rows, queries.name());
        if (unit_queries && index.metric() == Metric::Cosine) {
          scale_to_unit_length(query_rows, n_q, index.d());
        }
        result = index.query(query_rows, n_q, k, beam_l, seeds);
      },
      {.inline_work = SearchIndex::runs_inline(n_q)});
  if (!ok) return nullptr;
  return result_tuple(state, std::move(result));
}

PyObject* build_and_query(PyObject* module, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = module_state(module);
  Arguments a(kSignature);
  Matrix x, queries;
  std::uint64_t k = 0;
  BuildArguments b;
  if (!a.bind(args, kwargs) || !a.matrix(0, state, x) || !a.matrix(1, state, queries) ||
      !a.u64(2, k) || !convert_build_arguments(a, 3, true, b)) {
    return nullptr;
  }
  if (x.rows() == 0 || queries.rows() == 0) {
    PyErr_SetString(PyExc_ValueError, "empty base or query matrix");
    return nullptr;
  }
  if (!check_query_dim(queries, x.cols()) || !check_row_count(x)) return nullptr;
  std::vector<float> base, query_rows;
  if (!x.copy(base) || !queries.copy(query_rows)) return nullptr;
  const std::uint64_t n = x.rows(), d = x.cols(), n_q = queries.rows();
  KnnResult result;
  const bool ok = run_released(b.n_jobs, [&] {
    check_finite(base, x.name());
    check_finite(query_rows, queries.name());
    const Dataset dataset(base, n, d, b.params.metric);
    const bool profile = profiling_enabled();
    Stopwatch clock;
    const BuildResult built = build_index_with_cands(dataset, b.params, 0);
    const double build_seconds = clock.seconds();
    clock.restart();
    // The same index a VelnorIndex keeps, so both answer alike.
    const SearchIndex index(dataset, built.graph, built.order);
    result = index.query(query_rows, n_q, k, b.beam_l);
    if (profile) {
      print_profile_line("[velnor] BUILD=" + format_seconds(build_seconds) +
                         "s QUERY=" + format_seconds(clock.seconds()) + "s [" +
                         std::to_string(n_q) + " queries, runs=" + std::to_string(b.params.runs) +
                         ", beam_l=" + std::to_string(b.beam_l) + "]");
    }
  });
  if (!ok) return nullptr;
  return result_tuple(state, std::move(result));
}

}  // namespace velnor::py
