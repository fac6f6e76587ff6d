#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "core/parallel.hpp"

namespace velnor {
namespace {

TEST(ParallelFor, RunsEveryIndexOnceOnTheInstalledPool) {
  for (const std::size_t workers : {1u, 3u}) {
    PoolScope scope(Pool::with_threads(workers));
    EXPECT_EQ(current_pool_threads(), workers);
    std::vector<int> hits(1000, 0);
    std::atomic<int> team{0}, states{0};
    parallel_for(
        hits.size(),
        [&] {
          states.fetch_add(1);
          return 0;
        },
        [&](int&, std::size_t i) {
          hits[i] += 1;
          team.store(omp_get_num_threads());
        });
    EXPECT_EQ(std::count(hits.begin(), hits.end(), 1), 1000);
    EXPECT_EQ(static_cast<std::size_t>(team.load()), workers);
    EXPECT_EQ(static_cast<std::size_t>(states.load()), workers);  // one state per task
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

TEST(Pool, ImpossibleSizesFallBackToTheDefaultPool) {
  EXPECT_EQ(Pool::with_threads(0).threads(), Pool::default_pool().threads());
  EXPECT_EQ(Pool::with_threads(std::size_t{1} << 40).threads(), Pool::default_pool().threads());
  EXPECT_EQ(Pool::with_threads(4).threads(), 4u);
}

}  // namespace
}  // namespace velnor
