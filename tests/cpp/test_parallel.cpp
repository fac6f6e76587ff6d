#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <numeric>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/control.hpp"
#include "core/parallel.hpp"

namespace velnor {
namespace {

using Clock = std::chrono::steady_clock;

// Threads that ran at least one index of a loop.
class Seen {
 public:
  void add() {
    std::lock_guard<std::mutex> lock(mutex_);
    ids_.insert(std::this_thread::get_id());
  }
  std::size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ids_.size();
  }

 private:
  std::mutex mutex_;
  std::set<std::thread::id> ids_;
};

// Each of `workers` indices waits until all have started: only a pool of at
// least that many threads taking part gets them all in. False after 10 s.
bool all_indices_meet(std::size_t workers) {
  std::atomic<std::size_t> arrived{0};
  std::atomic<bool> met{true};
  parallel_for(workers, [&](std::size_t) {
    arrived.fetch_add(1);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (arrived.load() < workers) {
      if (Clock::now() > deadline) {
        met = false;
        return;
      }
      std::this_thread::yield();
    }
  });
  return met;
}

TEST(ParallelFor, RunsEveryIndexOnceOnExactlyThePoolsThreads) {
  for (const std::size_t workers : {1u, 3u}) {
    PoolScope scope(Pool::with_threads(workers));
    EXPECT_EQ(current_pool_threads(), workers);
    std::vector<int> hits(20000, 0);
    std::atomic<std::size_t> states{0};
    Seen seen;
    parallel_for(
        hits.size(),
        [&] {
          states.fetch_add(1);
          seen.add();
          return 0;
        },
        [&](int&, std::size_t i) { hits[i] += 1; }, {.chunk = 7});
    EXPECT_EQ(std::count(hits.begin(), hits.end(), 1), 20000);
    EXPECT_EQ(states.load(), seen.count());  // one state per taking part thread
    EXPECT_LE(seen.count(), workers);
    EXPECT_TRUE(all_indices_meet(workers));
  }
}

TEST(ParallelFor, FirstExceptionReachesTheCaller) {
  PoolScope scope(Pool::with_threads(2));
  std::atomic<int> after{0};
  EXPECT_THROW(parallel_for(100,
                            [&](std::size_t i) {
                              if (i == 10) throw std::runtime_error("boom");
                              after.fetch_add(1);
                            }),
               std::runtime_error);
  EXPECT_LT(after.load(), 100);
}

TEST(ParallelFor, NestedLoopsRunInlineOnTheWorker) {
  PoolScope scope(Pool::with_threads(3));
  std::vector<std::uint64_t> sums(64, 0);
  std::atomic<int> foreign{0};
  parallel_for(sums.size(), [&](std::size_t i) {
    const auto outer = std::this_thread::get_id();
    parallel_for(1000, [&](std::size_t j) {
      if (std::this_thread::get_id() != outer) foreign.fetch_add(1);
      sums[i] += j;
    });
  });
  EXPECT_EQ(foreign.load(), 0);
  for (const std::uint64_t s : sums) EXPECT_EQ(s, 999u * 1000u / 2);
}

TEST(ParallelFor, ConcurrentCallersShareTheDefaultPool) {
  std::vector<std::uint64_t> totals(4, 0);
  std::vector<std::thread> callers;
  for (std::size_t c = 0; c < totals.size(); ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 50; ++round) {
        std::vector<std::uint64_t> part(500, 0);
        parallel_for(part.size(), [&](std::size_t i) { part[i] = i * (c + 1); });
        totals[c] += std::accumulate(part.begin(), part.end(), std::uint64_t{0});
      }
    });
  }
  for (std::thread& t : callers) t.join();
  for (std::size_t c = 0; c < totals.size(); ++c) EXPECT_EQ(totals[c], 50u * 124750u * (c + 1));
}

TEST(ParallelFor, CancelledLoopStopsHandingOutWorkAndThrows) {
  PoolScope scope(Pool::with_threads(2));
  Control control;
  ControlScope installed(&control);
  begin_stage("work", 10000);
  std::atomic<std::size_t> ran{0};
  EXPECT_THROW(parallel_for(
                   10000,
                   [&](std::size_t) {
                     if (ran.fetch_add(1) == 100) control.cancel();
                   },
                   {.counted = true}),
               Cancelled);
  EXPECT_LT(ran.load(), 200u);  // at most the chunks already taken
  const Control::Progress p = control.progress();
  EXPECT_EQ(p.stage, "work");
  EXPECT_EQ(p.total, 10000u);
  EXPECT_LE(p.done, ran.load());
  EXPECT_GE(p.done, 100u);
  EXPECT_THROW(begin_stage("next"), Cancelled);  // serial steps stop at the next stage
}

TEST(ParallelFor, CountedLoopsReportEveryIndexOfTheStage) {
  PoolScope scope(Pool::with_threads(3));
  Control control;
  ControlScope installed(&control);
  begin_stage("first", 5000);
  parallel_for(5000, [](std::size_t) {}, {.chunk = 16, .counted = true});
  parallel_for(3000, [](std::size_t) {});  // not counted
  EXPECT_EQ(control.progress().done, 5000u);
  begin_stage("second", 0);
  EXPECT_EQ(control.progress().done, 0u);
  EXPECT_EQ(control.progress().stage, "second");
}

// Sum of 0..n-1 computed by parallel_for on the installed pool.
std::uint64_t parallel_sum(std::size_t n) {
  std::vector<std::uint64_t> v(n);
  parallel_for(n, [&](std::size_t i) { v[i] = i; });
  return std::accumulate(v.begin(), v.end(), std::uint64_t{0});
}

TEST(Pool, ForkedChildRunsLoopsOnFreshWorkers) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads after a multi-threaded fork";
#endif
  {
    PoolScope shared(Pool::default_pool());
    ASSERT_EQ(parallel_sum(100000), 4999950000u);
  }
  PoolScope scope(Pool::with_threads(3));
  ASSERT_EQ(parallel_sum(100000), 4999950000u);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a hang ends the child with SIGALRM
    bool ok = parallel_sum(100000) == 4999950000u && all_indices_meet(3);
    {
      PoolScope fresh(Pool::with_threads(2));
      ok = ok && parallel_sum(100000) == 4999950000u && all_indices_meet(2);
    }
    {
      PoolScope shared(Pool::default_pool());
      ok = ok && parallel_sum(100000) == 4999950000u;
    }
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  EXPECT_EQ(parallel_sum(100000), 4999950000u);  // the parent's workers go on
  EXPECT_TRUE(all_indices_meet(3));
}

TEST(Pool, ImpossibleSizesFallBackToTheDefaultPool) {
  EXPECT_EQ(Pool::with_threads(0).threads(), Pool::default_pool().threads());
  EXPECT_EQ(Pool::with_threads(std::size_t{1} << 40).threads(), Pool::default_pool().threads());
  EXPECT_EQ(Pool::with_threads(4).threads(), 4u);
}

}  // namespace
}  // namespace velnor
