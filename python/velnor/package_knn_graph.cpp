// _knn_graph: the kNN graph route behind velnor.knn_graph. Private to the
// package, which chooses its settings; every setting is passed explicitly.
#include "core/dataset.hpp"
#include "core/knn/knn_graph.hpp"
#include "python/velnor/entries.hpp"

namespace velnor::py {

const char package_knn_graph_doc[] =
    "_knn_graph(data, k, metric, n_jobs, seed, runs, leaf_size, fanout, leaf_k, keep, joins, "
    "variance, join_sample, verbose)\n"
    "--\n"
    "\n"
    "Each row's k nearest rows, itself first: `(indices, distances, stride)` flat, as the\n"
    "other entry points return them. Private: velnor.knn_graph is the interface.";

namespace {

const Signature kSignature = {
    "_knn_graph",
    {"data", "k", "metric", "n_jobs", "seed", "runs", "leaf_size", "fanout", "leaf_k", "keep",
     "joins", "variance", "join_sample", "verbose"},
    14};

}  // namespace

bool convert_route_arguments(Arguments& a, std::size_t first, knn::KnnGraphParams& p) {
  float variance = 0.0f;
  if (!a.u64(first, p.seed) || !a.u64(first + 1, p.runs) || !a.u64(first + 2, p.c_max) ||
      !a.u64(first + 3, p.fanout) || !a.u64(first + 4, p.leaf_k) || !a.u64(first + 5, p.keep) ||
      !a.u64(first + 6, p.joins) || !a.f32(first + 7, variance)) {
    return false;
  }
  p.variance = variance;
  p.rp_trees = true;
  return true;
}

PyObject* package_knn_graph(PyObject* module, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = module_state(module);
  Arguments a(kSignature);
  Matrix x;
  PyObject* metric_text = nullptr;
  Metric metric;
  std::uint64_t n_jobs = 0;
  knn::KnnGraphParams p;
  bool verbose = false;
  if (!a.bind(args, kwargs) || !a.matrix(0, state, x) || !a.u64(1, p.k) ||
      !a.str(2, metric_text) || !a.u64(3, n_jobs) || !convert_route_arguments(a, 4, p) ||
      !a.u64(12, p.join_sample) || !a.flag(13, verbose) || !parse_metric(metric_text, metric)) {
    return nullptr;
  }
  if (x.rows() == 0) {
    PyErr_SetString(PyExc_ValueError, "empty input matrix");
    return nullptr;
  }
  if (!check_row_count(x)) return nullptr;
  const std::uint64_t n = x.rows(), d = x.cols();
  std::vector<float> copied;
  const auto row_major = x.row_major(copied);
  if (!row_major) return nullptr;
  const std::span<const float> rows = *row_major;
  KnnResult result;
  const bool ok = run_released(n_jobs, [&] {
    check_finite(rows, x.name());
    const Dataset dataset(rows, n, d, metric);
    result = knn::knn_graph(dataset, p);
  }, {.verbose = verbose});
  if (!ok) return nullptr;
  return result_tuple(state, std::move(result));
}

}  // namespace velnor::py
