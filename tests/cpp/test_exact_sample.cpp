#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/exact_sample.hpp"
#include "core/parallel.hpp"

namespace velnor {
namespace {

// Every other row measured with sq_l2, sorted by (distance, row).
SampleNeighbors brute_force(const Dataset& ds, const std::vector<std::uint32_t>& sample,
                            std::uint64_t k) {
  SampleNeighbors out;
  out.k = k;
  for (const std::uint32_t s : sample) {
    std::vector<std::pair<float, std::uint32_t>> all;
    for (std::uint32_t j = 0; j < ds.n(); ++j) {
      if (j != s) all.emplace_back(sq_l2(ds.row(s), ds.row(j), ds.d()), j);
    }
    std::sort(all.begin(), all.end());
    for (std::uint64_t t = 0; t < k; ++t) {
      out.ids.push_back(all[t].second);
      out.dists.push_back(all[t].first);
    }
  }
  return out;
}

std::vector<float> random_rows(std::uint64_t n, std::uint64_t d, float offset, float scale,
                               unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> x(n * d);
  for (float& v : x) v = offset + scale * normal(gen);
  return x;
}

std::vector<std::uint32_t> some_rows(std::uint64_t n, std::uint64_t count) {
  std::vector<std::uint32_t> ids;
  for (std::uint64_t i = 0; i < count; ++i) ids.push_back(static_cast<std::uint32_t>(i * 7919 % n));
  return ids;
}

struct Case {
  const char* name;
  std::vector<float> rows;
  std::uint64_t d, k;
};

// Gaussian rows; small integers (many exactly tied distances, a pool cut
// inside a tie); rows far from the origin, where the product's cancellation
// misranks neighbours; and k = n - 1, where every other row is a neighbour.
std::vector<Case> cases() {
  std::vector<float> grid(3000 * 6);
  std::mt19937 gen(3);
  for (float& v : grid) v = static_cast<float>(gen() % 3);
  return {{"gaussian", random_rows(2500, 20, 0.0f, 1.0f, 1), 20, 10},
          {"integer ties", grid, 6, 12},
          {"far from the origin", random_rows(2000, 33, 1000.0f, 0.01f, 2), 33, 5},
          {"every other row", random_rows(40, 3, 0.0f, 1.0f, 4), 3, 39}};
}

TEST(ExactSample, MatchesSqL2AgainstEveryRowForAnyNumberOfWorkers) {
  for (const Case& c : cases()) {
    const Dataset ds(c.rows, c.rows.size() / c.d, c.d, Metric::L2);
    const std::vector<std::uint32_t> sample = some_rows(ds.n(), 150);
    const SampleNeighbors expected = brute_force(ds, sample, c.k);
    for (const std::size_t workers : {1, 3}) {
      PoolScope scope(Pool::with_threads(workers));
      const SampleNeighbors got = exact_sample_neighbors(ds, sample, c.k);
      EXPECT_EQ(got.k, c.k) << c.name;
      EXPECT_EQ(got.ids, expected.ids) << c.name << ", " << workers << " workers";
      EXPECT_EQ(got.dists, expected.dists) << c.name << ", " << workers << " workers";
    }
  }
}

TEST(ExactSample, RefusesBadArguments) {
  const std::vector<float> rows = random_rows(10, 2, 0.0f, 1.0f, 5);
  const Dataset ds(rows, 10, 2, Metric::L2);
  const std::vector<std::uint32_t> sample = {0, 3};
  EXPECT_THROW(exact_sample_neighbors(ds, sample, 0), InvalidArgument);
  EXPECT_THROW(exact_sample_neighbors(ds, sample, 10), InvalidArgument);
  const std::vector<std::uint32_t> outside = {10};
  EXPECT_THROW(exact_sample_neighbors(ds, outside, 3), InvalidArgument);
  EXPECT_TRUE(exact_sample_neighbors(ds, {}, 3).ids.empty());
}

TEST(ExactSample, RecallCountsTiesAsHitsAndSelfOrRepeatsAsMisses) {
  // Row 0 at the origin; rows 1 and 2 tie at distance 1; row 3 farther.
  const std::vector<float> rows = {0, 0, 1, 0, 0, 1, 3, 0};
  const Dataset ds(rows, 4, 2, Metric::L2);
  const std::vector<std::uint32_t> sample = {0};
  const SampleNeighbors exact = exact_sample_neighbors(ds, sample, 1);
  ASSERT_EQ(exact.ids, (std::vector<std::uint32_t>{1}));
  const std::vector<std::uint32_t> tie = {2}, far = {3}, self = {0};
  EXPECT_EQ(sample_recall(ds, sample, tie, exact), 1.0);
  EXPECT_EQ(sample_recall(ds, sample, far, exact), 0.0);
  EXPECT_EQ(sample_recall(ds, sample, self, exact), 0.0);

  const SampleNeighbors two = exact_sample_neighbors(ds, sample, 2);
  const std::vector<std::uint32_t> both = {2, 1}, repeated = {1, 1}, with_self = {0, 1};
  EXPECT_EQ(sample_recall(ds, sample, both, two), 1.0);
  EXPECT_EQ(sample_recall(ds, sample, repeated, two), 0.5);
  EXPECT_EQ(sample_recall(ds, sample, with_self, two), 0.5);
  const std::vector<std::uint32_t> outside = {1, 4}, short_list = {1};
  EXPECT_THROW(sample_recall(ds, sample, outside, two), InvalidArgument);
  EXPECT_THROW(sample_recall(ds, sample, short_list, two), InvalidArgument);
}

}  // namespace
}  // namespace velnor
