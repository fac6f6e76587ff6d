#include "python/velnor/frame.hpp"

#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>

#include "core/error.hpp"

namespace velnor::py {

ModuleState& module_state(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// ---------------------------------------------------------------- errors

namespace {

// Re-raises a pending TypeError or OverflowError as the same type with the
// message "argument '<name>': <reason>"; other exceptions pass through
// unchanged.
void prefix_conversion_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    return;
  }
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref kind(type);
  Ref reason(value ? PyObject_Str(value) : nullptr);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  if (!reason) return;  // PyObject_Str failed: its own error is pending
  PyErr_Format(kind.get(), "argument '%s': %U", name, reason.get());
}

}  // namespace

void set_python_error(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const InvalidArgument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());  // a vector beyond max_size
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown failure in the velnor core");
  }
}

// ---------------------------------------------------------------- binding

bool Arguments::bind(PyObject* args, PyObject* kwargs) {
  const std::size_t count = sig_.names.size();
  values_.assign(count, nullptr);
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  if (static_cast<std::size_t>(given) > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", sig_.function,
                 count, given);
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) values_[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t slot = count;
      if (PyUnicode_Check(key)) {
        for (std::size_t i = 0; i < count; ++i) {
          if (PyUnicode_CompareWithASCIIString(key, sig_.names[i]) == 0) {
            slot = i;
            break;
          }
        }
      }
      if (slot == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                     sig_.function, key);
        return false;
      }
      if (values_[slot] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                     sig_.function, sig_.names[slot]);
        return false;
      }
      values_[slot] = value;
    }
  }
  for (std::size_t i = 0; i < sig_.required; ++i) {
    if (values_[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                   sig_.function, sig_.names[i], i + 1);
      return false;
    }
  }
  return true;
}

bool Arguments::matrix(std::size_t i, const ModuleState& state, Matrix& out) {
  return values_[i] == nullptr || out.acquire(state, values_[i], sig_.names[i]);
}

bool Arguments::u64(std::size_t i, std::uint64_t& out) {
  if (values_[i] == nullptr) return true;
  Ref index(PyNumber_Index(values_[i]));
  if (!index) {
    prefix_conversion_error(sig_.names[i]);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_conversion_error(sig_.names[i]);
    return false;
  }
  out = value;
  return true;
}

bool Arguments::f32(std::size_t i, float& out) {
  if (values_[i] == nullptr) return true;
  const double value = PyFloat_AsDouble(values_[i]);
  if (value == -1.0 && PyErr_Occurred()) {
    prefix_conversion_error(sig_.names[i]);
    return false;
  }
  out = static_cast<float>(value);
  return true;
}

bool Arguments::str(std::size_t i, PyObject*& out) {
  if (values_[i] == nullptr) return true;
  if (!PyUnicode_Check(values_[i])) {
    Ref type_name(PyType_GetName(Py_TYPE(values_[i])));
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %S", sig_.names[i],
                 type_name.get());
    return false;
  }
  out = values_[i];
  return true;
}

std::optional<std::string> lowered_ascii(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();  // a str with lone surrogates names nothing we know
    return std::nullopt;
  }
  std::string lowered(utf8, static_cast<std::size_t>(size));
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

bool parse_metric(PyObject* text, Metric& out) {
  if (text == nullptr) return true;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  std::optional<Metric> metric;
  if (utf8 != nullptr) {
    metric = Metric::parse(std::string_view(utf8, static_cast<std::size_t>(size)));
  } else {
    PyErr_Clear();  // a str with lone surrogates names nothing we know
  }
  if (!metric) {
    PyErr_Format(PyExc_ValueError, "unsupported metric: %U", text);
    return false;
  }
  out = *metric;
  return true;
}

bool check_row_count(const Matrix& matrix) {
  if (matrix.rows() <= 0xFFFFFFFFull) return true;
  PyErr_Format(PyExc_ValueError, "argument '%s' has %llu rows; at most 4294967295 are supported",
               matrix.name(), static_cast<unsigned long long>(matrix.rows()));
  return false;
}

void check_finite(std::span<const float> values, const char* name) {
  // Exponent bits all set means NaN or infinity; an integer OR-reduction of
  // that test vectorises, a floating-point one would not.
  std::uint32_t bad = 0;
  for (const float v : values) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    bad |= static_cast<std::uint32_t>((bits & 0x7F800000u) == 0x7F800000u);
  }
  if (bad != 0) {
    throw InvalidArgument(std::string("argument '") + name +
                          "' contains NaN or infinite values");
  }
}

// ---------------------------------------------------------------- matrices

Matrix::~Matrix() {
  if (held_) PyBuffer_Release(&view_);
}

bool Matrix::acquire(const ModuleState& state, PyObject* obj, const char* name) {
  name_ = name;
  const int is_array = PyObject_IsInstance(obj, state.ndarray_type);
  if (is_array < 0) return false;
  if (is_array == 0) {
    Ref type_name(PyType_GetName(Py_TYPE(obj)));
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a 2-D numpy.ndarray of float32, got %S",
                 name, type_name.get());
    return false;
  }
  if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
    prefix_conversion_error(name);
    return false;
  }
  held_ = true;
  if (view_.ndim != 2) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a 2-D array, got %d-D", name,
                 view_.ndim);
    return false;
  }
  const char* format = view_.format != nullptr ? view_.format : "B";
  const bool native_f32 = std::strcmp(format, "f") == 0 || std::strcmp(format, "=f") == 0 ||
                          std::strcmp(format, "@f") == 0 ||
                          (std::endian::native == std::endian::little &&
                           std::strcmp(format, "<f") == 0) ||
                          (std::endian::native == std::endian::big &&
                           (std::strcmp(format, ">f") == 0 || std::strcmp(format, "!f") == 0));
  if (!native_f32 || view_.itemsize != 4) {
    Ref dtype(PyObject_GetAttrString(obj, "dtype"));
    Ref dtype_name(dtype ? PyObject_Str(dtype.get()) : nullptr);
    if (!dtype_name) return false;
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected dtype float32 in native byte order, got %U", name,
                 dtype_name.get());
    return false;
  }
  rows_ = static_cast<std::uint64_t>(view_.shape[0]);
  cols_ = static_cast<std::uint64_t>(view_.shape[1]);
  return true;
}

std::optional<std::span<const float>> Matrix::contiguous() const {
  if (!PyBuffer_IsContiguous(&view_, 'C')) return std::nullopt;
  return std::span<const float>(static_cast<const float*>(view_.buf), rows_ * cols_);
}

bool Matrix::copy(std::vector<float>& out) const {
  // NumPy keeps every array's size in bytes below 2^63, so rows * cols
  // cannot wrap; a zero-stride view may still be far larger than memory.
  try {
    out.resize(rows_ * cols_);
  } catch (const std::exception&) {  // bad_alloc, or length_error beyond max_size
    PyErr_NoMemory();
    return false;
  }
  if (auto flat = contiguous()) {
    std::memcpy(out.data(), flat->data(), flat->size_bytes());
    return true;
  }
  const auto* base = static_cast<const char*>(view_.buf);
  const Py_ssize_t row_step = view_.strides[0], col_step = view_.strides[1];
  for (std::uint64_t i = 0; i < rows_; ++i) {
    const char* row = base + static_cast<Py_ssize_t>(i) * row_step;
    float* dst = out.data() + i * cols_;
    for (std::uint64_t j = 0; j < cols_; ++j) {
      std::memcpy(dst + j, row + static_cast<Py_ssize_t>(j) * col_step, sizeof(float));
    }
  }
  return true;
}

// ---------------------------------------------------------------- results

namespace {

// Owns one result vector; NumPy arrays made over it keep it alive as their
// base and read it through __array_interface__.
struct ResultBuffer {
  PyObject_HEAD
  std::vector<std::uint32_t>* u32;
  std::vector<float>* f32;
};

void result_buffer_dealloc(PyObject* self) {
  auto* buffer = reinterpret_cast<ResultBuffer*>(self);
  delete buffer->u32;
  delete buffer->f32;
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* result_buffer_interface(PyObject* self, void*) {
  auto* buffer = reinterpret_cast<ResultBuffer*>(self);
  static float empty_storage[1];
  const void* data;
  std::size_t count;
  const char* typestr;
  const char* order = std::endian::native == std::endian::little ? "<" : ">";
  std::string type_code;
  if (buffer->u32 != nullptr) {
    data = buffer->u32->data();
    count = buffer->u32->size();
    type_code = std::string(order) + "u4";
  } else {
    data = buffer->f32->data();
    count = buffer->f32->size();
    type_code = std::string(order) + "f4";
  }
  typestr = type_code.c_str();
  if (count == 0) data = empty_storage;  // NumPy wants a real address
  return Py_BuildValue("{s:(n),s:s,s:(N,O),s:i}", "shape", static_cast<Py_ssize_t>(count),
                       "typestr", typestr, "data", PyLong_FromVoidPtr(const_cast<void*>(data)),
                       Py_False, "version", 3);
}

PyGetSetDef result_buffer_getset[] = {
    {"__array_interface__", result_buffer_interface, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot result_buffer_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(result_buffer_dealloc)},
                                     {Py_tp_getset, result_buffer_getset},
                                     {0, nullptr}};

PyType_Spec result_buffer_spec = {"velnor._velnor._ResultBuffer", sizeof(ResultBuffer), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, result_buffer_slots};

template <class T>
PyObject* wrap_vector(const ModuleState& state, std::vector<T>&& values) {
  auto* type = reinterpret_cast<PyTypeObject*>(state.result_buffer);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref holder(alloc(type, 0));
  if (!holder) return nullptr;
  auto* buffer = reinterpret_cast<ResultBuffer*>(holder.get());
  buffer->u32 = nullptr;
  buffer->f32 = nullptr;
  try {
    if constexpr (std::is_same_v<T, std::uint32_t>) {
      buffer->u32 = new std::vector<std::uint32_t>(std::move(values));
    } else {
      buffer->f32 = new std::vector<float>(std::move(values));
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return PyObject_CallFunctionObjArgs(state.asarray, holder.get(), nullptr);
}

}  // namespace

PyObject* make_result_buffer_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &result_buffer_spec, nullptr);
}

PyObject* result_tuple(const ModuleState& state, KnnResult&& result) {
  Ref indices(wrap_vector(state, std::move(result.indices)));
  if (!indices) return nullptr;
  Ref distances(wrap_vector(state, std::move(result.distances)));
  if (!distances) return nullptr;
  Ref stride(PyLong_FromUnsignedLongLong(result.stride));
  if (!stride) return nullptr;
  return PyTuple_Pack(3, indices.get(), distances.get(), stride.get());
}

}  // namespace velnor::py
