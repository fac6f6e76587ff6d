// _sample_recall: how many of a kNN graph's neighbours of sampled rows are
// among their exact neighbours, behind velnor.knn_graph's target_recall.
#include "core/dataset.hpp"
#include "core/error.hpp"
#include "core/exact_sample.hpp"
#include "python/velnor/entries.hpp"

namespace velnor::py {

const char package_sample_recall_doc[] =
    "_sample_recall(data, metric, sample, found, n_jobs)\n"
    "--\n"
    "\n"
    "recall@k of `found` (k uint32 row numbers for each row of `sample`, each row itself\n"
    "left out) against the exact neighbours of the sampled rows of `data`.";

namespace {

const Signature kSignature = {"_sample_recall", {"data", "metric", "sample", "found", "n_jobs"}, 5};

}  // namespace

PyObject* package_sample_recall(PyObject* module, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = module_state(module);
  Arguments a(kSignature);
  Matrix x;
  PyObject* metric_text = nullptr;
  Metric metric;
  std::vector<std::uint32_t> sample, found;
  std::uint64_t n_jobs = 0;
  if (!a.bind(args, kwargs) || !a.matrix(0, state, x) || !a.str(1, metric_text) ||
      !parse_metric(metric_text, metric) || !a.unsigned_values(2, sample) ||
      !a.unsigned_values(3, found) || !a.u64(4, n_jobs)) {
    return nullptr;
  }
  if (!check_row_count(x)) return nullptr;
  std::vector<float> copied;
  const auto row_major = x.row_major(copied);
  if (!row_major) return nullptr;
  const std::span<const float> rows = *row_major;
  double recall = 0.0;
  const bool ok = run_released(n_jobs, [&] {
    if (sample.empty() || found.size() % sample.size() != 0) {
      throw InvalidArgument("found must hold the same number of ids for every sampled row");
    }
    check_finite(rows, x.name());
    const Dataset dataset(rows, x.rows(), x.cols(), metric);
    const SampleNeighbors exact =
        exact_sample_neighbors(dataset, sample, found.size() / sample.size());
    recall = sample_recall(dataset, sample, found, exact);
  });
  if (!ok) return nullptr;
  return PyFloat_FromDouble(recall);
}

}  // namespace velnor::py
