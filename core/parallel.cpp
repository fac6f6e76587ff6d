#include "core/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <system_error>
#include <thread>
#include <vector>

namespace velnor {

namespace detail {

namespace {

std::size_t logical_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

// Above this a per-call pool is refused and the call runs on the default pool.
std::size_t max_pool_threads() { return std::max<std::size_t>(1024, 4 * logical_cpus()); }

}  // namespace

// What the workers of one pool share. After fork() the child abandons it
// without touching it again: its workers do not exist there, and waking or
// destroying condition variables that had waiters in the parent may block.
struct TeamState {
  std::mutex mutex;
  std::condition_variable wake;  // workers: a loop wants helpers, or stop
  std::condition_variable left;  // loop owners: a helper left their loop
  std::vector<std::thread> workers;
  std::vector<LoopJob*> jobs;  // loops still taking helpers, oldest first
  bool started = false;
  bool stopping = false;
};

// A pool's workers: size - 1 threads, as the thread that starts a loop takes
// part in it.
class Team {
 public:
  explicit Team(std::size_t size);
  ~Team();
  Team(const Team&) = delete;
  Team& operator=(const Team&) = delete;

  std::size_t size() const { return size_; }
  // False when not every worker thread could be started.
  bool complete();

  TeamState* offer(LoopJob& job);
  void withdraw(TeamState* state, LoopJob& job);

  static void prepare_fork();
  static void parent_after_fork();
  static void child_after_fork();

 private:
  void start_workers(TeamState& state);  // with state.mutex held
  static void work(TeamState* state);

  const std::size_t size_;
  TeamState* state_;
  Team* prev_ = nullptr;  // registry of live teams, for fork()
  Team* next_ = nullptr;
};

namespace {

// The default team, made at first use and never destroyed: calls may still
// use it while the process exits. Taken before registry_mutex.
std::mutex default_mutex;
std::atomic<Team*> default_team{nullptr};
// Every live team, so fork() can quiesce and reset them all.
std::mutex registry_mutex;
Team* registry_head = nullptr;
// Team states a forked child abandoned; kept reachable, never freed.
std::vector<TeamState*>* abandoned = nullptr;

thread_local Team* installed_team = nullptr;
thread_local bool in_loop_body = false;

void register_fork_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_atfork(&Team::prepare_fork, &Team::parent_after_fork, &Team::child_after_fork);
  });
}

}  // namespace

Team::Team(std::size_t size) : size_(size), state_(new TeamState) {
  register_fork_handlers();
  {
    std::lock_guard<std::mutex> lock(registry_mutex);
    next_ = registry_head;
    if (registry_head != nullptr) registry_head->prev_ = this;
    registry_head = this;
  }
  std::lock_guard<std::mutex> lock(state_->mutex);
  start_workers(*state_);
}

Team::~Team() {
  {
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (prev_ != nullptr) prev_->next_ = next_;
    else registry_head = next_;
    if (next_ != nullptr) next_->prev_ = prev_;
  }
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  for (std::thread& t : state_->workers) t.join();
  delete state_;
}

bool Team::complete() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->workers.size() + 1 == size_;
}

void Team::start_workers(TeamState& state) {
  state.started = true;
  try {
    while (state.workers.size() + 1 < size_) state.workers.emplace_back(&Team::work, &state);
  } catch (const std::system_error&) {
    // Fewer workers: loops still finish, as their owners take part.
  }
}

void Team::work(TeamState* state) {
  std::unique_lock<std::mutex> lock(state->mutex);
  for (;;) {
    if (state->stopping) return;
    const auto open = std::find_if(state->jobs.begin(), state->jobs.end(),
                                   [](const LoopJob* j) { return j->helpers_wanted > 0; });
    if (open == state->jobs.end()) {
      state->wake.wait(lock);
      continue;
    }
    LoopJob& job = **open;
    --job.helpers_wanted;
    ++job.helpers_inside;
    lock.unlock();
    job.participate(job.context);
    lock.lock();
    if (--job.helpers_inside == 0) state->left.notify_all();
  }
}

TeamState* Team::offer(LoopJob& job) {
  TeamState* const state = state_;  // replaced only in a forked child, before any loop
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!state->started) start_workers(*state);
    job.helpers_wanted = std::min(job.helpers_wanted, state->workers.size());
    if (job.helpers_wanted == 0) return state;
    state->jobs.push_back(&job);
  }
  state->wake.notify_all();
  return state;
}

void Team::withdraw(TeamState* state, LoopJob& job) {
  std::unique_lock<std::mutex> lock(state->mutex);
  const auto it = std::find(state->jobs.begin(), state->jobs.end(), &job);
  if (it != state->jobs.end()) state->jobs.erase(it);
  job.helpers_wanted = 0;
  state->left.wait(lock, [&] { return job.helpers_inside == 0; });
}

// fork(): the parent's threads do not exist in the child. Before the fork
// every team's lock is taken, so no worker holds one and no loop is being
// offered or withdrawn; the child then gives every team a fresh state whose
// workers start at its next loop.
void Team::prepare_fork() {
  default_mutex.lock();
  registry_mutex.lock();
  for (Team* t = registry_head; t != nullptr; t = t->next_) t->state_->mutex.lock();
}

void Team::parent_after_fork() {
  for (Team* t = registry_head; t != nullptr; t = t->next_) t->state_->mutex.unlock();
  registry_mutex.unlock();
  default_mutex.unlock();
}

void Team::child_after_fork() {
  if (abandoned == nullptr) abandoned = new std::vector<TeamState*>;
  for (Team* t = registry_head; t != nullptr; t = t->next_) {
    t->state_->mutex.unlock();
    abandoned->push_back(t->state_);
    t->state_ = new TeamState;
  }
  registry_mutex.unlock();
  default_mutex.unlock();
}

std::size_t default_team_size() {
  static const std::size_t size = logical_cpus();
  return size;
}

Team& default_team_instance() {
  Team* team = default_team.load(std::memory_order_acquire);
  if (team != nullptr) return *team;
  std::lock_guard<std::mutex> lock(default_mutex);
  team = default_team.load(std::memory_order_relaxed);
  if (team == nullptr) {
    team = new Team(default_team_size());
    default_team.store(team, std::memory_order_release);
  }
  return *team;
}

void run_loop(LoopJob& job) {
  Team* team = installed_team != nullptr ? installed_team : &default_team_instance();
  TeamState* state = team->offer(job);
  job.participate(job.context);
  team->withdraw(state, job);
}

BodyScope::BodyScope(Control* control) : was_inside_(in_loop_body), control_(control) {
  in_loop_body = true;
}

BodyScope::~BodyScope() { in_loop_body = was_inside_; }

bool inside_loop_body() { return in_loop_body; }

}  // namespace detail

Pool Pool::default_pool() {
  // Shared without ownership: the default team lives as long as the process.
  return Pool(std::shared_ptr<detail::Team>(&detail::default_team_instance(), [](detail::Team*) {}));
}

Pool Pool::with_threads(std::size_t threads) {
  // The default team serves a call of its own size: starting threads for
  // every call costs more than a short call's work.
  if (threads == 0 || threads > detail::max_pool_threads() ||
      threads == detail::default_team_size()) {
    return default_pool();
  }
  auto team = std::make_shared<detail::Team>(threads);
  if (!team->complete()) return default_pool();
  return Pool(std::move(team));
}

std::size_t Pool::threads() const { return team_->size(); }

PoolScope::PoolScope(Pool pool) : pool_(std::move(pool)), previous_(detail::installed_team) {
  detail::installed_team = pool_.team_.get();
}

PoolScope::~PoolScope() { detail::installed_team = previous_; }

std::size_t current_pool_threads() {
  const detail::Team* team = detail::installed_team;
  return team != nullptr ? team->size() : detail::default_team_size();
}

}  // namespace velnor
