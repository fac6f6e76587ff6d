#pragma once
// The module's entry points, one file each; _velnor.cpp registers them.
#include "python/velnor/frame.hpp"

namespace velnor::py {

PyObject* build_and_self_knn(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char build_and_self_knn_doc[];

PyObject* hnsw_self_knn(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char hnsw_self_knn_doc[];

}  // namespace velnor::py
