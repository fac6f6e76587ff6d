#pragma once
// The worker pool. A pool of size s runs every parallel loop on at most s
// threads: the thread that starts the loop and up to s - 1 of the pool's own
// workers, which take chunks of indices from a shared atomic counter. The
// default pool has one worker per logical CPU and is shared process-wide; a
// per-call pool has exactly n_jobs of them. A caller installs a pool for the
// current thread with PoolScope; every parallel_for started from that thread
// then runs on it.
//
// The first exception thrown by any iteration is kept, the remaining
// iterations are skipped, and it is rethrown on the calling thread after the
// loop. A loop started from inside another loop's body runs inline, on the
// thread that started it. Loops check the control block of their call
// (core/control.hpp) before each chunk: once the call is cancelled they hand
// out no more work and throw Cancelled.
//
// The pool survives fork(): a child process starts workers of its own at its
// first parallel loop.
#include <atomic>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

#include "core/control.hpp"

namespace velnor {

namespace detail {

class Team;

// One parallel loop as the pool's workers see it: each joins it by calling
// participate(context), which takes chunks until none is left.
struct LoopJob {
  void (*participate)(void* context);
  void* context;
  std::size_t helpers_wanted;      // workers that may still join (team lock)
  std::size_t helpers_inside = 0;  // workers inside participate (team lock)
};

// Runs `job` on the calling thread's pool: offers it to the workers, takes
// part in it, then withdraws it and waits for the workers that joined.
void run_loop(LoopJob& job);

// Marks the calling thread as running a loop body (nested loops run inline
// there) and installs the loop's control block for the body.
class BodyScope {
 public:
  explicit BodyScope(Control* control);
  ~BodyScope();
  BodyScope(const BodyScope&) = delete;
  BodyScope& operator=(const BodyScope&) = delete;

 private:
  bool was_inside_;
  ControlScope control_;
};

bool inside_loop_body();

}  // namespace detail

class Pool {
 public:
  // The process-wide default pool: one worker per logical CPU.
  static Pool default_pool();

  // A pool of exactly `threads` workers: the default pool when it has that
  // many or when that many threads cannot be had (0 or more than the system
  // allows).
  static Pool with_threads(std::size_t threads);

  std::size_t threads() const;

 private:
  explicit Pool(std::shared_ptr<detail::Team> team) : team_(std::move(team)) {}
  std::shared_ptr<detail::Team> team_;
  friend class PoolScope;
};

// Installs a pool for the calling thread for the scope's lifetime.
class PoolScope {
 public:
  explicit PoolScope(Pool pool);
  ~PoolScope();
  PoolScope(const PoolScope&) = delete;
  PoolScope& operator=(const PoolScope&) = delete;

 private:
  Pool pool_;
  detail::Team* previous_;
};

// Worker count of the pool installed on the calling thread (the default pool
// when none is).
std::size_t current_pool_threads();

// How a loop is handed out.
struct Loop {
  std::size_t chunk = 1;  // indices taken at a time
  bool counted = false;   // each finished index is one unit of the current stage
};

// Collects the first exception thrown inside a parallel loop.
class FirstError {
 public:
  // Runs f unless an error is already kept; false when f threw or did not run.
  template <class F>
  bool run(F&& f) noexcept {
    if (failed()) return false;
    try {
      f();
      return true;
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
      failed_.store(true, std::memory_order_relaxed);
      return false;
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

// Runs body(state, i) for i in [0, n) on the current pool. Each thread taking
// part makes its own state with make_state() before its first index and
// reuses it for every index it handles.
template <class MakeState, class Body>
void parallel_for(std::size_t n, MakeState&& make_state, Body&& body, Loop loop = {}) {
  if (n == 0) return;
  using State = std::invoke_result_t<MakeState&>;
  const std::size_t chunk = loop.chunk == 0 ? 1 : loop.chunk;
  Control* const control = current_control();

  struct Shared {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> cancelled{false};
    FirstError error;
  } shared;
  auto participate = [&] {
    const detail::BodyScope scope(control);
    std::optional<State> state;
    while (!shared.error.failed()) {
      if (control != nullptr && control->cancelled()) {
        shared.cancelled.store(true, std::memory_order_relaxed);
        return;
      }
      const std::size_t begin = shared.next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= n) return;
      const std::size_t end = n - begin < chunk ? n : begin + chunk;
      if (!state && !shared.error.run([&] { state.emplace(make_state()); })) return;
      const bool ok = shared.error.run([&] {
        for (std::size_t i = begin; i < end; ++i) body(*state, i);
      });
      if (ok && loop.counted && control != nullptr) control->advance(end - begin);
    }
  };
  using Participate = decltype(participate);

  const std::size_t chunks = n / chunk + (n % chunk != 0);
  const std::size_t helpers = detail::inside_loop_body() ? 0 : current_pool_threads() - 1;
  detail::LoopJob job{[](void* p) { (*static_cast<Participate*>(p))(); }, &participate,
                      helpers < chunks - 1 ? helpers : chunks - 1};
  if (job.helpers_wanted == 0) {
    participate();
  } else {
    detail::run_loop(job);
  }
  shared.error.rethrow();
  if (shared.cancelled.load(std::memory_order_relaxed)) throw Cancelled();
}

// Runs body(i) for i in [0, n) on the current pool.
template <class Body>
void parallel_for(std::size_t n, Body&& body, Loop loop = {}) {
  struct NoState {};
  parallel_for(
      n, [] { return NoState{}; }, [&](NoState&, std::size_t i) { body(i); }, loop);
}

}  // namespace velnor
