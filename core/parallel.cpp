#include "core/parallel.hpp"

namespace velnor {

namespace {

// 0 means "no pool installed on this thread": the default pool applies.
thread_local std::size_t installed_threads = 0;

std::size_t logical_cpus() {
  const int procs = omp_get_num_procs();
  return procs > 0 ? static_cast<std::size_t>(procs) : 1;
}

// Above this a per-call pool is refused and the call runs on the default pool:
// OpenMP aborts the process when it cannot start the threads it was asked for.
std::size_t max_pool_threads() {
  const std::size_t limit = static_cast<std::size_t>(omp_get_thread_limit());
  const std::size_t cap = 1024 > 4 * logical_cpus() ? 1024 : 4 * logical_cpus();
  return limit < cap ? limit : cap;
}

}  // namespace

Pool Pool::default_pool() { return Pool(logical_cpus()); }

Pool Pool::with_threads(std::size_t threads) {
  if (threads == 0 || threads > max_pool_threads()) return default_pool();
  return Pool(threads);
}

PoolScope::PoolScope(Pool pool) : previous_(installed_threads) {
  installed_threads = pool.threads();
}

PoolScope::~PoolScope() { installed_threads = previous_; }

std::size_t current_pool_threads() {
  return installed_threads != 0 ? installed_threads : logical_cpus();
}

}  // namespace velnor
