#pragma once
// The module's entry points, one file each; _velnor.cpp registers them.
#include "python/velnor/frame.hpp"

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

PyObject* hnsw_self_knn(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char hnsw_self_knn_doc[];

}  // namespace velnor::py
