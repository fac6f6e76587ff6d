// hnsw_self_knn: self-kNN through the HNSW comparison backend.
#include "core/dataset.hpp"
#include "core/hnsw/hnsw.hpp"
#include "python/velnor/entries.hpp"

namespace velnor::py {

const char hnsw_self_knn_doc[] =
    "hnsw_self_knn(x, n_neighbors, metric=\"euclidean\", m=16, ef_construction=200, "
    "ef_search=64, quantize=\"none\", n_jobs=0, seed=0)\n"
    "--\n"
    "\n"
    "Build a compact HNSW index and return self-kNN \u2014 same `(indices, distances,\n"
    "stride)` layout as `build_and_self_knn`. A native graph-ANN comparison backend.";

namespace {

const Signature kSignature = {
    "hnsw_self_knn",
    {"x", "n_neighbors", "metric", "m", "ef_construction", "ef_search", "quantize", "n_jobs",
     "seed"},
    2};

// "sq8" turns quantization on, "none" and "fp32" leave it off, in any ASCII
// case; anything else raises ValueError "unsupported quantize: <lowered>".
std::optional<bool> parse_quantize(PyObject* text) {
  const std::optional<std::string> lowered = lowered_ascii(text);
  if (lowered == "sq8") return true;
  if (lowered == "none" || lowered == "fp32") return false;
  if (lowered) {
    Ref shown(PyUnicode_DecodeUTF8(lowered->data(), static_cast<Py_ssize_t>(lowered->size()),
                                   "replace"));
    if (shown) PyErr_Format(PyExc_ValueError, "unsupported quantize: %U", shown.get());
  } else {
    // Not encodable (lone surrogates): shown as given.
    PyErr_Format(PyExc_ValueError, "unsupported quantize: %U", text);
  }
  return std::nullopt;
}

}  // namespace

PyObject* hnsw_self_knn(PyObject* module, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = module_state(module);
  Arguments a(kSignature);
  Matrix x;
  std::uint64_t k = 0, n_jobs = 0;
  HnswParams params;
  PyObject* metric_name = nullptr;
  PyObject* quantize_name = nullptr;
  if (!a.bind(args, kwargs) || !a.matrix(0, state, x) || !a.u64(1, k) ||
      !a.str(2, metric_name) || !a.u64(3, params.m) || !a.u64(4, params.ef_construction) ||
      !a.u64(5, params.ef_search) || !a.str(6, quantize_name) || !a.u64(7, n_jobs) ||
      !a.u64(8, params.seed)) {
    return nullptr;
  }
  Metric metric = Metric::L2;
  if (!parse_metric(metric_name, metric)) return nullptr;
  if (quantize_name != nullptr) {
    const auto parsed = parse_quantize(quantize_name);
    if (!parsed) return nullptr;
    params.quantize = *parsed;
  }
  if (x.rows() == 0) {
    PyErr_SetString(PyExc_ValueError, "empty input matrix");
    return nullptr;
  }
  if (!check_row_count(x)) return nullptr;
  const std::uint64_t n = x.rows(), d = x.cols();
  std::vector<float> rows;
  if (!x.copy(rows)) return nullptr;
  KnnResult result;
  const bool ok = run_released(n_jobs, [&] {
    check_finite(rows, x.name());
    const Dataset dataset(rows, n, d, metric);
    result = knn_self_hnsw(dataset, params, k);
  });
  if (!ok) return nullptr;
  return result_tuple(state, std::move(result));
}

}  // namespace velnor::py
