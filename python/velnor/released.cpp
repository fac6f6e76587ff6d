// run_released: the core work of a call, with the interpreter lock released,
// interruptible by Python's signal handlers and optionally showing progress.
#include <cxxabi.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/control.hpp"
#include "core/parallel.hpp"
#include "core/profile.hpp"
#include "python/velnor/frame.hpp"

namespace velnor::py {

namespace {

constexpr auto kWakeInterval = std::chrono::milliseconds(100);
constexpr double kRedrawSeconds = 0.25;

// "4.2s", "3m07s", "2h05m".
std::string format_duration(double seconds) {
  char buf[32];
  if (seconds < 60) {
    std::snprintf(buf, sizeof buf, "%.1fs", seconds);
  } else if (seconds < 3600) {
    const auto s = static_cast<long>(seconds);
    std::snprintf(buf, sizeof buf, "%ldm%02lds", s / 60, s % 60);
  } else {
    const auto m = static_cast<long>(seconds / 60);
    std::snprintf(buf, sizeof buf, "%ldh%02ldm", m / 60, m % 60);
  }
  return buf;
}

// "velnor: robustprune  42% | 12.3s elapsed, ~17.0s left in stage"
std::string progress_text(const Control::Progress& p, double elapsed) {
  std::string text = "velnor: " + (p.stage.empty() ? std::string("starting") : p.stage);
  if (p.total > 0) {
    const double fraction = p.done >= p.total ? 1.0 : static_cast<double>(p.done) / p.total;
    char pct[16];
    std::snprintf(pct, sizeof pct, " %3.0f%%", 100.0 * fraction);
    text += pct;
    text += " | " + format_duration(elapsed) + " elapsed";
    if (fraction > 0 && fraction < 1) {
      text += ", ~" + format_duration(p.stage_seconds * (1 - fraction) / fraction) +
              " left in stage";
    }
  } else {
    text += " | " + format_duration(elapsed) + " elapsed";
  }
  return text;
}

// One line on sys.stderr, rewritten in place ("\r"); every call needs the
// interpreter lock.
class ProgressLine {
 public:
  void draw(const std::string& text) {
    std::string line = "\r" + text;
    // Blank out what is left of a longer previous line.
    if (text.size() < width_) line.append(width_ - text.size(), ' ');
    width_ = text.size();
    write(line);
  }
  void finish(const std::string& text) {
    draw(text);
    write("\n");
  }

 private:
  static void write(const std::string& s) {
    // PySys_WriteStderr writes at most 1000 bytes; our lines are far shorter.
    PySys_WriteStderr("%s", s.c_str());
    PyObject* stream = PySys_GetObject("stderr");  // borrowed
    if (stream != nullptr) {
      Ref flushed(PyObject_CallMethod(stream, "flush", nullptr));
      if (!flushed) PyErr_Clear();
    }
  }
  std::size_t width_ = 0;
};

// The calls whose core work is running. When the process exits while one
// runs (a daemon thread's call, say), the exit handlers of the libraries the
// work uses (BLAS frees its buffers) must not run under it: the exit stops
// every such call first and waits until its work has unwound.
class CallsInFlight {
 public:
  // Records a call about to start its work. Once the process is exiting the
  // work must not start: the calling thread blocks here until the exit ends it.
  void enter(Control& control) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (exiting_) changed_.wait(lock);
    calls_.push_back(&control);
  }
  void leave(Control& control) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      calls_.erase(std::find(calls_.begin(), calls_.end(), &control));
    }
    changed_.notify_all();
  }
  // Cancels every call and returns once none is left running.
  void stop_all() {
    std::unique_lock<std::mutex> lock(mutex_);
    exiting_ = true;
    for (Control* control : calls_) control->cancel();
    changed_.wait(lock, [&] { return calls_.empty(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Control*> calls_;
  bool exiting_ = false;
};

// Never destroyed: calls may still leave it while the process exits. A
// forked child runs none of the parent's calls and starts a record of its
// own, abandoning the parent's (whose lock another thread may have held).
CallsInFlight* calls_in_flight_record = new CallsInFlight;
CallsInFlight& calls_in_flight() { return *calls_in_flight_record; }
void forget_calls_in_child() { calls_in_flight_record = new CallsInFlight; }

class InFlight {
 public:
  explicit InFlight(Control& control) : control_(control) { calls_in_flight().enter(control_); }
  ~InFlight() { calls_in_flight().leave(control_); }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

 private:
  Control& control_;
};

void stop_calls_in_flight() { calls_in_flight().stop_all(); }

// Runs the work with its pool and control block installed; never throws.
std::exception_ptr run_core(void (*call)(void*), void* work, const Pool& pool, Control& control) {
  const InFlight in_flight(control);
  try {
    const PoolScope pool_scope(pool);
    const ControlScope control_scope(&control);
    call(work);
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

// A Python exception taken out of the thread state, to be raised again later.
struct PendingException {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  bool set() const { return type != nullptr; }
  void fetch() { PyErr_Fetch(&type, &value, &traceback); }
  void restore() { PyErr_Restore(type, value, traceback); }
};

}  // namespace

void stop_calls_at_exit() {
  static std::once_flag once;
  // Handlers registered now run before those of the libraries loaded earlier.
  std::call_once(once, [] {
    pthread_atfork(nullptr, nullptr, forget_calls_in_child);
    std::atexit(stop_calls_in_flight);
  });
}

bool run_released_erased(std::uint64_t n_jobs, void (*call)(void*), void* work,
                         RunOptions options) {
  Control control;
  const Stopwatch clock;
  ProgressLine line;
  PendingException interrupt;
  std::exception_ptr error;
  PyThreadState* saved = PyEval_SaveThread();
  {
    std::optional<Pool> pool;
    try {
      // Inline work runs on this thread alone: no per-call team for it.
      pool.emplace(n_jobs == 0 || options.inline_work ? Pool::default_pool()
                                                     : Pool::with_threads(n_jobs));
    } catch (const std::exception&) {
      pool.emplace(Pool::default_pool());  // a per-call pool cannot be had
    }
    struct Outcome {
      std::mutex mutex;
      std::condition_variable finished_cv;
      bool finished = false;
      std::exception_ptr error;
    } outcome;
    std::thread worker;
    if (!options.inline_work) {
      try {
        worker = std::thread([&] {
          std::exception_ptr e = run_core(call, work, *pool, control);
          std::lock_guard<std::mutex> lock(outcome.mutex);
          outcome.error = e;
          outcome.finished = true;
          outcome.finished_cv.notify_one();
        });
      } catch (const std::system_error&) {
        // No thread to be had: the work runs on this one.
      }
    }
    if (!worker.joinable()) {
      error = run_core(call, work, *pool, control);
    } else {
      double drawn_at = -kRedrawSeconds;
      std::string drawn_stage;
      std::unique_lock<std::mutex> lock(outcome.mutex);
      while (!outcome.finished_cv.wait_for(lock, kWakeInterval, [&] { return outcome.finished; })) {
        if (interrupt.set()) continue;  // cancelled: wait for the work to unwind
        lock.unlock();
        try {
          PyEval_RestoreThread(saved);
        } catch (abi::__forced_unwind&) {
          // The interpreter is finalizing and ends this (daemon) thread here.
          // The work uses objects of this frame and of the caller's: stop it
          // and wait for it before the thread unwinds.
          control.cancel();
          worker.join();
          throw;
        }
        if (PyErr_CheckSignals() != 0) {
          interrupt.fetch();
          control.cancel();
        } else if (options.verbose) {
          const Control::Progress p = control.progress();
          const double now = clock.seconds();
          if (now - drawn_at >= kRedrawSeconds || p.stage != drawn_stage) {
            line.draw(progress_text(p, now));
            drawn_at = now;
            drawn_stage = p.stage;
          }
        }
        saved = PyEval_SaveThread();
        lock.lock();
      }
      lock.unlock();
      worker.join();
      error = outcome.error;
    }
  }  // a per-call pool's workers are stopped and joined here, without the lock
  PyEval_RestoreThread(saved);
  if (options.verbose) {
    const std::string how = interrupt.set() ? "interrupted after " : error ? "failed after " : "done in ";
    line.finish("velnor: " + how + format_duration(clock.seconds()));
  }
  if (interrupt.set()) {
    // The work's own Cancelled (or any failure it met meanwhile) is dropped:
    // the signal handler's exception is the call's outcome.
    interrupt.restore();
    return false;
  }
  if (error) {
    set_python_error(error);
    return false;
  }
  return true;
}

}  // namespace velnor::py
