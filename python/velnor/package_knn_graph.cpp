// _knn_graph: the kNN graph route behind velnor.knn_graph. Private to the
// package, which chooses its settings; every setting is passed explicitly.
#include "core/dataset.hpp"
#include "core/knn/knn_graph.hpp"
#include "python/velnor/entries.hpp"

namespace velnor::py {

const char package_knn_graph_doc[] =
    "_knn_graph(data, k, metric, n_jobs, seed, runs, leaf_size, fanout, leaf_k, keep, joins, "
    "variance, verbose)\n"
    "--\n"
    "\n"
    "Each row's k nearest rows, itself first: `(indices, distances, stride)` flat, as the\n"
    "other entry points return them. Private: velnor.knn_graph is the interface.";

namespace {

const Signature kSignature = {
    "_knn_graph",
    {"data", "k", "metric", "n_jobs", "seed", "runs", "leaf_size", "fanout", "leaf_k", "keep",
     "joins", "variance", "verbose"},
    13};

}  // namespace

PyObject* package_knn_graph(PyObject* module, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = module_state(module);
  Arguments a(kSignature);
  Matrix x;
  PyObject* metric_text = nullptr;
  Metric metric;
  std::uint64_t n_jobs = 0;
  knn::KnnGraphParams p;
  float variance = 0.0f;
  bool verbose = false;
  if (!a.bind(args, kwargs) || !a.matrix(0, state, x) || !a.u64(1, p.k) ||
      !a.str(2, metric_text) || !a.u64(3, n_jobs) || !a.u64(4, p.seed) || !a.u64(5, p.runs) ||
      !a.u64(6, p.c_max) || !a.u64(7, p.fanout) || !a.u64(8, p.leaf_k) || !a.u64(9, p.keep) ||
      !a.u64(10, p.joins) || !a.f32(11, variance) || !a.flag(12, verbose) ||
      !parse_metric(metric_text, metric)) {
    return nullptr;
  }
  p.variance = variance;
  p.rp_trees = true;
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
