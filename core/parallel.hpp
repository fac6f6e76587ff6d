#pragma once
// The worker pool. A pool is an OpenMP team size: the default pool has one
// worker per logical CPU and is shared process-wide; a per-call pool has
// exactly n_jobs workers. A caller installs a pool for the current thread with
// PoolScope; every parallel_for started from that thread then runs on it.
//
// Exceptions never cross the OpenMP region: the first one thrown by any
// iteration is kept, the remaining iterations are skipped, and it is
// rethrown on the calling thread after the loop.
#include <omp.h>

#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <type_traits>

// ThreadSanitizer does not see the synchronisation inside libgomp, which is
// not instrumented: without help it reports every write made before a
// parallel region and read inside it (or made inside and read after the
// join) as a race. These annotations state the region's fork and join edges
// and nothing more, so races between workers are still reported.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#define VELNOR_TSAN_ACQUIRE(addr) __tsan_acquire(addr)
#define VELNOR_TSAN_RELEASE(addr) __tsan_release(addr)
#else
#define VELNOR_TSAN_ACQUIRE(addr) ((void)(addr))
#define VELNOR_TSAN_RELEASE(addr) ((void)(addr))
#endif

namespace velnor {

class Pool {
 public:
  // The process-wide default pool: one worker per logical CPU.
  static Pool default_pool();

  // A pool of exactly `threads` workers, or the default pool when that many
  // threads cannot be had (0 or more than the system allows).
  static Pool with_threads(std::size_t threads);

  std::size_t threads() const { return threads_; }

 private:
  explicit Pool(std::size_t threads) : threads_(threads) {}
  std::size_t threads_;
};

// Installs a pool for the calling thread for the scope's lifetime.
class PoolScope {
 public:
  explicit PoolScope(Pool pool);
  ~PoolScope();
  PoolScope(const PoolScope&) = delete;
  PoolScope& operator=(const PoolScope&) = delete;

 private:
  std::size_t previous_;
};

// Worker count of the pool installed on the calling thread (the default pool
// when none is).
std::size_t current_pool_threads();

// Collects the first exception thrown inside a parallel region.
class FirstError {
 public:
  template <class F>
  void run(F&& f) noexcept {
    if (failed_.load(std::memory_order_relaxed)) return;
    try {
      f();
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
      failed_.store(true, std::memory_order_relaxed);
    }
  }
  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  void rethrow() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::atomic<bool> failed_{false};
  std::mutex mutex_;
  std::exception_ptr error_;
};

// Runs body(state, i) for i in [0, n) on the current pool. Each worker task
// first makes its own state with make_state() and reuses it for every index
// it handles. Indices are handed out dynamically in chunks of `chunk`.
template <class MakeState, class Body>
void parallel_for(std::size_t n, MakeState&& make_state, Body&& body, std::size_t chunk = 1) {
  if (n == 0) return;
  FirstError error;
  const std::size_t workers = current_pool_threads();
  const int team = static_cast<int>(workers < n ? workers : n);
  const long long count = static_cast<long long>(n);
  const long long step = static_cast<long long>(chunk == 0 ? 1 : chunk);
  char fork_join = 0;  // only its address is used, as the annotations' sync object
  VELNOR_TSAN_RELEASE(&fork_join);
#pragma omp parallel num_threads(team)
  {
    VELNOR_TSAN_ACQUIRE(&fork_join);
    {
      std::optional<std::invoke_result_t<MakeState&>> state;
      error.run([&] { state.emplace(make_state()); });
#pragma omp for schedule(dynamic, step)
      for (long long i = 0; i < count; ++i) {
        if (state && !error.failed()) error.run([&] { body(*state, static_cast<std::size_t>(i)); });
      }
    }
    VELNOR_TSAN_RELEASE(&fork_join);
  }
  VELNOR_TSAN_ACQUIRE(&fork_join);
  error.rethrow();
}

// Runs body(i) for i in [0, n) on the current pool.
template <class Body>
void parallel_for(std::size_t n, Body&& body, std::size_t chunk = 1) {
  struct NoState {};
  parallel_for(
      n, [] { return NoState{}; }, [&](NoState&, std::size_t i) { body(i); }, chunk);
}

}  // namespace velnor
