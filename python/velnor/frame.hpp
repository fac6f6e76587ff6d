#pragma once
// The frame every entry point of the extension shares: argument binding and
// conversion, input matrices, the worker pool and the released interpreter
// lock around the core work, zero-copy result arrays and error reporting.
//
// Written against the stable ABI (limited API 3.11) so one wheel serves
// every later CPython.
#define Py_LIMITED_API 0x030B0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/knn_result.hpp"
#include "core/metric.hpp"
#include "core/parallel.hpp"

namespace velnor::py {

// An owned reference, released when it goes out of scope.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// What the module keeps between calls (module state; no mutable globals).
struct ModuleState {
  PyObject* ndarray_type;    // numpy.ndarray
  PyObject* asarray;         // numpy.asarray
  PyObject* result_buffer;   // type owning a result vector, the arrays' base
  PyObject* index_type;      // VelnorIndex
};

ModuleState& module_state(PyObject* module);

// A 2-D float32 NumPy array read through the buffer protocol. Holds the
// buffer (and so the array) until destroyed; destroy it with the lock held.
class Matrix {
 public:
  Matrix() = default;
  Matrix(const Matrix&) = delete;
  Matrix& operator=(const Matrix&) = delete;
  ~Matrix();

  // Fills the view; on failure sets a TypeError naming the argument.
  bool acquire(const ModuleState& state, PyObject* obj, const char* name);

  std::uint64_t rows() const { return rows_; }
  std::uint64_t cols() const { return cols_; }
  const char* name() const { return name_; }

  // The caller's own buffer when it is C-contiguous, otherwise nothing.
  std::optional<std::span<const float>> contiguous() const;
  // Fills `out` with the rows in logical order, row-major, whatever the
  // strides. Returns false with MemoryError set when they do not fit.
  bool copy(std::vector<float>& out) const;
  // The rows row-major: the caller's buffer when it is C-contiguous,
  // otherwise a copy made in `storage`. Nothing, with MemoryError set, when
  // the copy does not fit.
  std::optional<std::span<const float>> row_major(std::vector<float>& storage) const;

 private:
  Py_buffer view_{};
  bool held_ = false;
  const char* name_ = "";
  std::uint64_t rows_ = 0, cols_ = 0;
};

// Positional-or-keyword parameters of one entry point, in declaration order.
struct Signature {
  const char* function;
  std::vector<const char*> names;
  std::size_t required;
};

// The arguments of one call, bound by the usual Python rules, and their
// conversions. Each converter leaves `out` untouched when the argument is
// absent (so `out` carries the default) and returns false with a Python
// exception set on failure.
class Arguments {
 public:
  explicit Arguments(const Signature& signature) : sig_(signature) {}

  bool bind(PyObject* args, PyObject* kwargs);

  bool matrix(std::size_t i, const ModuleState& state, Matrix& out);
  bool u64(std::size_t i, std::uint64_t& out);
  bool f32(std::size_t i, float& out);
  // A C-contiguous buffer of unsigned integers of T's width (uint32_t or
  // uint64_t), of any shape, copied flat into `out`.
  template <class T>
  bool unsigned_values(std::size_t i, std::vector<T>& out);
  // A str argument: `out` becomes the (borrowed) str object.
  bool str(std::size_t i, PyObject*& out);
  // A truth value, by Python's truth test.
  bool flag(std::size_t i, bool& out);

 private:
  const Signature& sig_;
  std::vector<PyObject*> values_;  // borrowed; nullptr when absent
};

// Sets `out` to the metric named by `text` (an absent argument, nullptr,
// leaves the default). Returns false with ValueError "unsupported metric:
// <text>" for a name it does not know.
bool parse_metric(PyObject* text, Metric& out);

// ASCII-lowered UTF-8 copy of a str; nothing (error cleared) when the str
// cannot be encoded.
std::optional<std::string> lowered_ascii(PyObject* text);

// Sets ValueError and returns false for a matrix of 2^32 rows or more: row
// numbers are 32-bit.
bool check_row_count(const Matrix& matrix);

// Throws InvalidArgument (ValueError) when any value is NaN or infinite.
// Meant to run without the lock, before the core work.
void check_finite(std::span<const float> values, const char* name);

// Turns a C++ exception into the pending Python exception: ValueError for
// InvalidArgument, MemoryError for std::bad_alloc and for std::length_error
// (a vector asked to grow beyond its maximum size), RuntimeError otherwise.
void set_python_error(std::exception_ptr error);

// How run_released runs the core work.
struct RunOptions {
  // Run the work on the calling thread alone (on the default pool, whatever
  // n_jobs): no hand-off to another thread, but no signal checks and no
  // progress while it runs. For work known to be short (a handful of query
  // rows).
  bool inline_work = false;
  // Draw one updating progress line on sys.stderr while the work runs (stage,
  // percentage, elapsed and estimated time left), ended by a newline.
  bool verbose = false;
};

// Runs `work` on a pool of n_jobs workers (0: the default pool) with the
// interpreter lock released. Unless run inline, the work runs on a thread of
// its own while the calling thread waits, waking every 100 ms to run
// Python's signal handlers: when one raises (Ctrl-C), the work is cancelled
// (its loops stop at the next chunk), and once it has unwound the call
// returns with that exception set. A C++ exception of the work becomes a
// Python exception after the lock is re-acquired. Returns false when it
// raised.
bool run_released_erased(std::uint64_t n_jobs, void (*call)(void*), void* work,
                         RunOptions options);

// Makes the process's exit cancel the calls still running their work and
// wait for them to unwind before the libraries they use are torn down.
void stop_calls_at_exit();

template <class Work>
bool run_released(std::uint64_t n_jobs, Work&& work, RunOptions options = {}) {
  using Callable = std::remove_reference_t<Work>;
  return run_released_erased(
      n_jobs, [](void* w) { (*static_cast<Callable*>(w))(); }, &work, options);
}

// The result triple (indices, distances, stride): each vector becomes a
// writeable 1-D array whose base owns it, without a copy.
PyObject* result_tuple(const ModuleState& state, KnnResult&& result);

// A read-only 1-D array over memory that `owner` keeps alive (T: float,
// uint32_t or uint64_t), without a copy; the array holds a reference to
// `owner`.
template <class T>
PyObject* borrowed_array(const ModuleState& state, PyObject* owner, std::span<const T> values);

// The type of the objects behind the arrays the module hands out.
PyObject* make_result_buffer_type(PyObject* module);

}  // namespace velnor::py
