// The extension module velnor._velnor: registers the entry points and keeps
// the NumPy handles and type objects they need in the module state.
#include "python/velnor/entries.hpp"

namespace velnor::py {
namespace {

PyMethodDef methods[] = {
    {"build_and_self_knn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_and_self_knn)),
     METH_VARARGS | METH_KEYWORDS, build_and_self_knn_doc},
    {"build_and_query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_and_query)),
     METH_VARARGS | METH_KEYWORDS, build_and_query_doc},
    {"hnsw_self_knn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hnsw_self_knn)),
     METH_VARARGS | METH_KEYWORDS, hnsw_self_knn_doc},
    {"_build_and_self_knn_verbose",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_and_self_knn_verbose)),
     METH_VARARGS | METH_KEYWORDS, build_and_self_knn_verbose_doc},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef package_methods[] = {
    {"_knn_graph", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(package_knn_graph)),
     METH_VARARGS | METH_KEYWORDS, package_knn_graph_doc},
    {"_sample_recall", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(package_sample_recall)),
     METH_VARARGS | METH_KEYWORDS, package_sample_recall_doc},
    {nullptr, nullptr, 0, nullptr}};

int exec_module(PyObject* module) {
  ModuleState& state = module_state(module);
  state = ModuleState{};
  stop_calls_at_exit();
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return -1;
  state.ndarray_type = PyObject_GetAttrString(numpy.get(), "ndarray");
  state.asarray = PyObject_GetAttrString(numpy.get(), "asarray");
  if (state.ndarray_type == nullptr || state.asarray == nullptr) return -1;
  state.result_buffer = make_result_buffer_type(module);
  if (state.result_buffer == nullptr) return -1;
  state.index_type = make_index_type(module);
  if (state.index_type == nullptr || PyModule_AddObjectRef(module, "VelnorIndex", state.index_type) < 0) {
    return -1;
  }
  if (PyModule_AddStringConstant(module, "__version__", "0.1.1") < 0) return -1;
  // The package's own routes come after the public names.
  Ref package_index(make_package_index_type(module));
  if (!package_index || PyModule_AddObjectRef(module, "_Index", package_index.get()) < 0) return -1;
  return PyModule_AddFunctions(module, package_methods);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState& state = module_state(module);
  Py_VISIT(state.ndarray_type);
  Py_VISIT(state.asarray);
  Py_VISIT(state.result_buffer);
  Py_VISIT(state.index_type);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState& state = module_state(module);
  Py_CLEAR(state.ndarray_type);
  Py_CLEAR(state.asarray);
  Py_CLEAR(state.result_buffer);
  Py_CLEAR(state.index_type);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)},
                            {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_velnor",
                          "",
                          sizeof(ModuleState),
                          methods,
                          slots,
                          traverse_module,
                          clear_module,
                          free_module};

}  // namespace
}  // namespace velnor::py

PyMODINIT_FUNC PyInit__velnor(void) { return PyModuleDef_Init(&velnor::py::module_def); }
