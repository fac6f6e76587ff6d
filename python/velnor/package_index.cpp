// _Index: the index behind velnor.Index. Private to the package, which
// chooses its settings; every setting is passed explicitly.
#include <memory>

#include "core/batch_query.hpp"
#include "core/dataset.hpp"
#include "core/knn/graph_index.hpp"
#include "python/velnor/entries.hpp"

namespace velnor::py {

namespace {

const char index_doc[] =
    "_Index(data, metric, n_jobs, seed, runs, leaf_size, fanout, leaf_k, keep, joins, variance, "
    "r, alpha, verbose)\n"
    "--\n"
    "\n"
    "A built search graph over the rows of `data`. Private: velnor.Index is the interface.";

const char query_doc[] =
    "query($self, queries, k, beam_l, n_jobs)\n"
    "--\n"
    "\n"
    "The k nearest rows of each query: `(indices, distances, stride)` flat.";

const Signature kConstructor = {
    "_Index",
    {"data", "metric", "n_jobs", "seed", "runs", "leaf_size", "fanout", "leaf_k", "keep", "joins",
     "variance", "r", "alpha", "verbose"},
    14};

const Signature kQuery = {"query", {"queries", "k", "beam_l", "n_jobs"}, 4};

// The rows (stored form) and the graph, both in the build's locality order,
// with the way back to the caller's row numbers. Immutable once built.
struct Built {
  knn::GraphIndex index;
  std::unique_ptr<Dataset> rows;  // over index.rows
  std::uint64_t n = 0, d = 0;
  Metric metric;
};

struct IndexObject {
  PyObject_HEAD
  Built* built;
};

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = *static_cast<ModuleState*>(PyType_GetModuleState(type));
  Arguments a(kConstructor);
  Matrix x;
  PyObject* metric_text = nullptr;
  std::uint64_t n_jobs = 0;
  knn::GraphIndexParams p;
  float variance = 0.0f;
  bool verbose = false;
  Metric metric;
  if (!a.bind(args, kwargs) || !a.matrix(0, state, x) || !a.str(1, metric_text) ||
      !a.u64(2, n_jobs) || !a.u64(3, p.neighbors.seed) || !a.u64(4, p.neighbors.runs) ||
      !a.u64(5, p.neighbors.c_max) || !a.u64(6, p.neighbors.fanout) ||
      !a.u64(7, p.neighbors.leaf_k) || !a.u64(8, p.neighbors.keep) ||
      !a.u64(9, p.neighbors.joins) || !a.f32(10, variance) || !a.u64(11, p.r) ||
      !a.f32(12, p.alpha) || !a.flag(13, verbose) || !parse_metric(metric_text, metric)) {
    return nullptr;
  }
  p.neighbors.variance = variance;
  p.neighbors.rp_trees = true;
  p.neighbors.k = p.neighbors.keep;
  if (x.rows() == 0) {
    PyErr_SetString(PyExc_ValueError, "empty base matrix");
    return nullptr;
  }
  if (!check_row_count(x)) return nullptr;
  auto built = std::make_unique<Built>();
  built->n = x.rows();
  built->d = x.cols();
  built->metric = metric;
  std::vector<float> copied;
  std::span<const float> rows;
  if (auto flat = x.contiguous()) {
    rows = *flat;
  } else {
    if (!x.copy(copied)) return nullptr;
    rows = copied;
  }
  const bool ok = run_released(n_jobs, [&] {
    check_finite(rows, x.name());
    const Dataset dataset(rows, built->n, built->d, metric);
    built->index = knn::build_graph_index(dataset, p);
    built->rows = std::make_unique<Dataset>(built->index.rows, built->n, built->d, metric,
                                            Dataset::StoredForm{});
  }, {.verbose = verbose});
  if (!ok) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<IndexObject*>(self)->built = built.release();
  return self;
}

void index_dealloc(PyObject* self) {
  delete reinterpret_cast<IndexObject*>(self)->built;
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* index_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = *static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(self)));
  const Built& built = *reinterpret_cast<IndexObject*>(self)->built;
  Arguments a(kQuery);
  Matrix queries;
  std::uint64_t k = 0, beam_l = 0, n_jobs = 0;
  if (!a.bind(args, kwargs) || !a.matrix(0, state, queries) || !a.u64(1, k) ||
      !a.u64(2, beam_l) || !a.u64(3, n_jobs)) {
    return nullptr;
  }
  if (!check_query_dim(queries, built.d)) return nullptr;
  std::vector<float> query_rows;
  if (!queries.copy(query_rows)) return nullptr;
  const std::uint64_t n_q = queries.rows();
  KnnResult result;
  const bool ok = run_released(n_jobs, [&] {
    check_finite(query_rows, queries.name());
    // Cosine distances are measured between unit-length rows.
    if (built.metric == Metric::Cosine) scale_to_unit_length(query_rows, n_q, built.d);
    result = knn_query(*built.rows, built.index.graph, query_rows, n_q, k, beam_l);
    for (std::uint32_t& id : result.indices) id = built.index.order[id];
  });
  if (!ok) return nullptr;
  return result_tuple(state, std::move(result));
}

PyMethodDef index_methods[] = {
    {"query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_query)),
     METH_VARARGS | METH_KEYWORDS, query_doc},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot index_slots[] = {{Py_tp_new, reinterpret_cast<void*>(index_new)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
                             {Py_tp_methods, index_methods},
                             {Py_tp_doc, const_cast<char*>(index_doc)},
                             {0, nullptr}};

PyType_Spec index_spec = {"velnor._velnor._Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT,
                          index_slots};

}  // namespace

PyObject* make_package_index_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &index_spec, nullptr);
}

}  // namespace velnor::py
