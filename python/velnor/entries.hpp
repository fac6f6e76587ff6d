#pragma once
// The module's entry points, one file each; _velnor.cpp registers them.
#include "core/search/pivots.hpp"
#include "python/velnor/frame.hpp"

namespace velnor {
class SearchIndex;
namespace knn {
struct KnnGraphParams;
}
}

namespace velnor::py {

PyObject* build_and_self_knn(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char build_and_self_knn_doc[];

// build_and_self_knn with progress drawn on sys.stderr: a private hook that
// shows the progress line of a real build, for the tests.
PyObject* build_and_self_knn_verbose(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char build_and_self_knn_verbose_doc[];

PyObject* build_and_query(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char build_and_query_doc[];

// The VelnorIndex type object.
PyObject* make_index_type(PyObject* module);

// Sets ValueError "query dim <d_q> != base dim <d>" and returns false when
// the query matrix's column count differs from the base's.
bool check_query_dim(const Matrix& queries, std::uint64_t base_dim);

// The (indices, distances, stride) tuple of `index` for `queries` (checked
// for their dimension and finite values), on a pool of n_jobs workers; with
// `unit_queries`, each query is first scaled to unit length under Cosine.
// Each search starts from its `seeds` nearest pivots. A few rows are
// searched on the calling thread.
PyObject* query_search_index(const ModuleState& state, const SearchIndex& index,
                             const Matrix& queries, std::uint64_t k, std::uint64_t beam_l,
                             std::uint64_t n_jobs, bool unit_queries, std::uint64_t seeds);

PyObject* hnsw_self_knn(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char hnsw_self_knn_doc[];

// The package's own routes (private names, called by the Python package).
PyObject* package_knn_graph(PyObject* module, PyObject* args, PyObject* kwargs);

// The kNN-graph route's settings, arguments first .. first + 7 in order:
// seed, runs, leaf_size, fanout, leaf_k, keep, joins, variance (random
// projection trees). False with the Python error set when one fails.
bool convert_route_arguments(Arguments& a, std::size_t first, knn::KnnGraphParams& p);
extern const char package_knn_graph_doc[];

PyObject* package_sample_recall(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char package_sample_recall_doc[];

// The _Index type object.
PyObject* make_package_index_type(PyObject* module);

}  // namespace velnor::py
