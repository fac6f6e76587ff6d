// build_and_self_knn: the k nearest rows of every row of one matrix.
#include <algorithm>

#include "core/bruteforce.hpp"
#include "core/dataset.hpp"
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

}  // namespace

PyObject* build_and_self_knn(PyObject* module, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = module_state(module);
  Arguments a(kSignature);
  Matrix x;
  std::uint64_t k = 0, m = 12, l_max = 64, r = 64, beam_l = 64, fanout = 2, c_min = 256,
                c_max = 2048, runs = 1, n_jobs = 0, seed = 0;
  float alpha = 1.2f;
  PyObject* metric_name = nullptr;
  if (!a.bind(args, kwargs) || !a.matrix(0, state, x) || !a.u64(1, k) ||
      !a.str(2, metric_name) || !a.u64(3, m) || !a.u64(4, l_max) || !a.u64(5, r) ||
      !a.f32(6, alpha) || !a.u64(7, beam_l) || !a.u64(8, fanout) || !a.u64(9, c_min) ||
      !a.u64(10, c_max) || !a.u64(11, runs) || !a.u64(12, n_jobs) || !a.u64(13, seed)) {
    return nullptr;
  }
  Metric metric = Metric::L2;
  if (metric_name != nullptr) {
    const auto parsed = parse_metric(metric_name);
    if (!parsed) return nullptr;
    metric = *parsed;
  }
  if (x.rows() == 0) {
    PyErr_SetString(PyExc_ValueError, "empty input matrix");
    return nullptr;
  }
  const std::uint64_t n = x.rows(), d = x.cols();
  if (n > kExactRouteRows || n > c_max) {
    PyErr_Format(PyExc_NotImplementedError,
                 "build_and_self_knn: the graph route for more than %llu rows is not built "
                 "yet",
                 static_cast<unsigned long long>(std::min(kExactRouteRows, c_max)));
    return nullptr;
  }
  std::vector<float> copied;
  std::span<const float> rows;
  if (auto flat = x.contiguous()) {
    rows = *flat;
  } else {
    copied = x.copy();
    rows = copied;
  }
  KnnResult result;
  const bool ok = run_released(n_jobs, [&] {
    check_finite(rows, x.name());
    const Dataset dataset(rows, n, d, metric);
    result = knn_self_bruteforce(dataset, k);
  });
  if (!ok) return nullptr;
  return result_tuple(state, std::move(result));
}

}  // namespace velnor::py
