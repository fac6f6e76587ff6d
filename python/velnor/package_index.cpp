// _Index: the index behind velnor.Index. Private to the package, which
// chooses its settings; every setting is passed explicitly.
#include <algorithm>
#include <memory>
#include <string>

#include "core/dataset.hpp"
#include "core/error.hpp"
#include "core/exact_sample.hpp"
#include "core/knn/graph_index.hpp"
#include "core/memory.hpp"
#include "core/search/search_index.hpp"
#include "python/velnor/entries.hpp"

namespace velnor::py {

namespace {

// Seeds of each search. Four reach the recall of sixteen (within 0.0002 at
// every width we measured) and spare the expansions of the other twelve.
constexpr std::uint64_t kPackageSeeds = 4;

const char index_doc[] =
    "_Index(data, metric, n_jobs, seed, runs, leaf_size, fanout, leaf_k, keep, joins, variance, "
    "r, alpha, refine_every, verbose)\n"
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
     "variance", "r", "alpha", "refine_every", "verbose"},
    15};

const Signature kQuery = {"query", {"queries", "k", "beam_l", "n_jobs"}, 4};

// The searchable index, and what it borrows from Python: an imported
// index's rows, held while it lives and released (with the interpreter lock
// held) only after it.
struct Built {
  std::unique_ptr<Matrix> borrowed;
  std::unique_ptr<SearchIndex> index;
};

struct IndexObject {
  PyObject_HEAD
  Built* built;
};

// A new _Index object owning `built`.
PyObject* wrap_built(PyTypeObject* type, std::unique_ptr<Built> built) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<IndexObject*>(self)->built = built.release();
  return self;
}

// A search index over a built graph index, which it keeps.
std::unique_ptr<SearchIndex> searchable(knn::GraphIndex built, std::uint64_t d, Metric metric) {
  auto owned = std::make_shared<const knn::GraphIndex>(std::move(built));
  SearchIndex::Arrays arrays;
  arrays.n = owned->order.size();
  arrays.d = d;
  arrays.metric = metric;
  arrays.rows = owned->rows;
  arrays.offsets = owned->graph.offsets;
  arrays.neighbors = owned->graph.neighbors;
  arrays.order = owned->order;
  arrays.medoid = owned->graph.medoid;
  return std::make_unique<SearchIndex>(arrays, owned);
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const ModuleState& state = *static_cast<ModuleState*>(PyType_GetModuleState(type));
  Arguments a(kConstructor);
  Matrix x;
  PyObject* metric_text = nullptr;
  std::uint64_t n_jobs = 0;
  knn::GraphIndexParams p;
  bool verbose = false;
  Metric metric;
  if (!a.bind(args, kwargs) || !a.matrix(0, state, x) || !a.str(1, metric_text) ||
      !a.u64(2, n_jobs) || !convert_route_arguments(a, 3, p.neighbors) || !a.u64(11, p.r) ||
      !a.f32(12, p.alpha) || !a.u64(13, p.refine_every) || !a.flag(14, verbose) ||
      !parse_metric(metric_text, metric)) {
    return nullptr;
  }
  p.neighbors.k = p.neighbors.keep;
  if (x.rows() == 0) {
    PyErr_SetString(PyExc_ValueError, "empty base matrix");
    return nullptr;
  }
  if (!check_row_count(x)) return nullptr;
  auto built = std::make_unique<Built>();
  std::vector<float> copied;
  const auto row_major = x.row_major(copied);
  if (!row_major) return nullptr;
  const std::span<const float> rows = *row_major;
  const bool ok = run_released(n_jobs, [&] {
    check_finite(rows, x.name());
    {
      const Dataset dataset(rows, x.rows(), x.cols(), metric);
      built->index = searchable(knn::build_graph_index(dataset, p), x.cols(), metric);
    }
    std::vector<float>().swap(copied);
    // The build's working memory goes back to the system: a built index
    // holds only its rows, graph and order.
    release_free_memory();
  }, {.verbose = verbose});
  if (!ok) return nullptr;
  return wrap_built(type, std::move(built));
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
  const SearchIndex& index = *reinterpret_cast<IndexObject*>(self)->built->index;
  Arguments a(kQuery);
  Matrix queries;
  std::uint64_t k = 0, beam_l = 0, n_jobs = 0;
  if (!a.bind(args, kwargs) || !a.matrix(0, state, queries) || !a.u64(1, k) ||
      !a.u64(2, beam_l) || !a.u64(3, n_jobs)) {
    return nullptr;
  }
  // Cosine distances are measured between unit-length rows.
  return query_search_index(state, index, queries, k, beam_l, n_jobs, true, kPackageSeeds);
}

// ---------------------------------------------------------------- recall

const char estimate_recall_doc[] =
    "estimate_recall($self, sample, k, beam_l, n_jobs)\n"
    "--\n"
    "\n"
    "recall@k of the index's answers for its own rows `sample` (uint32 row numbers), each\n"
    "row itself left out, against their exact neighbours.";

const Signature kEstimateRecall = {"estimate_recall", {"sample", "k", "beam_l", "n_jobs"}, 4};

PyObject* index_estimate_recall(PyObject* self, PyObject* args, PyObject* kwargs) {
  const SearchIndex& index = *reinterpret_cast<IndexObject*>(self)->built->index;
  Arguments a(kEstimateRecall);
  std::vector<std::uint32_t> sample;
  std::uint64_t k = 0, beam_l = 0, n_jobs = 0;
  if (!a.bind(args, kwargs) || !a.unsigned_values(0, sample) || !a.u64(1, k) ||
      !a.u64(2, beam_l) || !a.u64(3, n_jobs)) {
    return nullptr;
  }
  double recall = 0.0;
  const bool ok = run_released(n_jobs, [&] {
    const std::uint64_t n = index.n(), d = index.d();
    if (sample.empty()) throw InvalidArgument("the sample is empty");
    // Exact neighbours among the index's own rows, by node number.
    const Dataset rows(index.arrays().rows, n, d, index.metric(), Dataset::StoredForm{});
    for (std::uint32_t& id : sample) {
      if (id >= n) throw InvalidArgument("sampled row " + std::to_string(id) + " is out of range");
      id = index.node_of(id);
    }
    const SampleNeighbors exact = exact_sample_neighbors(rows, sample, k);
    // Each sampled row queried as stored, with one answer more than k: the
    // row itself is dropped from its answers, or their last one when the
    // search did not return it.
    std::vector<float> queries(sample.size() * d);
    for (std::size_t i = 0; i < sample.size(); ++i) {
      std::copy_n(rows.row(sample[i]), d, queries.data() + i * d);
    }
    const KnnResult answers = index.query(queries, sample.size(), k + 1, beam_l, kPackageSeeds);
    std::vector<std::uint32_t> found;
    found.reserve(sample.size() * k);
    for (std::size_t i = 0; i < sample.size(); ++i) {
      const std::uint32_t* row = answers.indices.data() + i * answers.stride;
      std::uint64_t kept = 0;
      bool dropped = false;
      for (std::uint64_t j = 0; j < answers.stride && kept < k; ++j) {
        const std::uint32_t node = index.node_of(row[j]);
        if (node == sample[i] && !dropped) {
          dropped = true;
          continue;
        }
        found.push_back(node);
        ++kept;
      }
    }
    recall = sample_recall(rows, sample, found, exact);
  });
  if (!ok) return nullptr;
  return PyFloat_FromDouble(recall);
}

// ---------------------------------------------------------------- export and import
//
// The index as plain arrays, for the package's file format: the rows in
// local order and stored form, the graph over local nodes (offsets and
// neighbours), the order (local node -> original row) and the medoid.

const char export_doc[] =
    "_export($self)\n"
    "--\n"
    "\n"
    "(metric, rows, offsets, neighbors, order, medoid): read-only views of the index's arrays\n"
    "(rows flat, n * d float32; offsets uint64; neighbors and order uint32), which keep it alive.";

PyObject* index_export(PyObject* self, PyObject*) {
  const ModuleState& state = *static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(self)));
  const SearchIndex::Arrays& arrays = reinterpret_cast<IndexObject*>(self)->built->index->arrays();
  Ref rows(borrowed_array(state, self, arrays.rows));
  Ref offsets(rows ? borrowed_array(state, self, arrays.offsets) : nullptr);
  Ref neighbors(offsets ? borrowed_array(state, self, arrays.neighbors) : nullptr);
  Ref order(neighbors ? borrowed_array(state, self, arrays.order) : nullptr);
  if (!order) return nullptr;
  return Py_BuildValue("(sOOOOk)", arrays.metric == Metric::Cosine ? "cosine" : "euclidean",
                       rows.get(), offsets.get(), neighbors.get(), order.get(),
                       static_cast<unsigned long>(arrays.medoid));
}

const char from_arrays_doc[] =
    "_from_arrays(metric, rows, offsets, neighbors, order, medoid, n_jobs)\n"
    "--\n"
    "\n"
    "An index over arrays as _export gives them (rows as a 2-D float32 array, which it\n"
    "borrows and keeps alive). Every array is checked, so that no search can read out of\n"
    "bounds: ValueError names the first fault.";

const Signature kFromArrays = {
    "_from_arrays", {"metric", "rows", "offsets", "neighbors", "order", "medoid", "n_jobs"}, 7};

PyObject* index_from_arrays(PyObject* cls, PyObject* args, PyObject* kwargs) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  const ModuleState& state = *static_cast<ModuleState*>(PyType_GetModuleState(type));
  Arguments a(kFromArrays);
  PyObject* metric_text = nullptr;
  Metric metric;
  auto built = std::make_unique<Built>();
  built->borrowed = std::make_unique<Matrix>();
  // The graph and the order, copied; the rows stay borrowed.
  auto graph = std::make_shared<knn::GraphIndex>();
  std::uint64_t medoid = 0, n_jobs = 0;
  if (!a.bind(args, kwargs) || !a.str(0, metric_text) || !parse_metric(metric_text, metric) ||
      !a.matrix(1, state, *built->borrowed) || !a.unsigned_values(2, graph->graph.offsets) ||
      !a.unsigned_values(3, graph->graph.neighbors) || !a.unsigned_values(4, graph->order) ||
      !a.u64(5, medoid) || !a.u64(6, n_jobs)) {
    return nullptr;
  }
  const Matrix& rows = *built->borrowed;
  if (rows.rows() == 0 || rows.cols() == 0) {
    PyErr_SetString(PyExc_ValueError, "an index needs at least one row and one feature");
    return nullptr;
  }
  if (!check_row_count(rows)) return nullptr;
  const auto flat = rows.contiguous();
  if (!flat) {
    PyErr_SetString(PyExc_ValueError, "the rows must be C-contiguous");
    return nullptr;
  }
  SearchIndex::Arrays arrays;
  arrays.n = rows.rows();
  arrays.d = rows.cols();
  arrays.metric = metric;
  arrays.rows = *flat;
  arrays.offsets = graph->graph.offsets;
  arrays.neighbors = graph->graph.neighbors;
  arrays.order = graph->order;
  // Row numbers are 32-bit: a larger medoid stays out of range.
  arrays.medoid = static_cast<std::uint32_t>(std::min<std::uint64_t>(medoid, UINT32_MAX));
  const bool ok = run_released(n_jobs, [&] {
    check_finite(*flat, rows.name());
    built->index = std::make_unique<SearchIndex>(arrays, graph);
  });
  if (!ok) return nullptr;
  return wrap_built(type, std::move(built));
}

PyMethodDef index_methods[] = {
    {"query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_query)),
     METH_VARARGS | METH_KEYWORDS, query_doc},
    {"estimate_recall",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_estimate_recall)),
     METH_VARARGS | METH_KEYWORDS, estimate_recall_doc},
    {"_export", index_export, METH_NOARGS, export_doc},
    {"_from_arrays", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_from_arrays)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, from_arrays_doc},
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
