#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "core/bruteforce.hpp"
#include "core/distance.hpp"
#include "core/parallel.hpp"
#include "tests/cpp/fashion_mnist.hpp"

namespace velnor {
namespace {

std::vector<std::uint32_t> row_ids(const KnnResult& r, std::size_t i) {
  return {r.indices.begin() + i * r.stride, r.indices.begin() + (i + 1) * r.stride};
}

TEST(BruteForce, IdenticalRowsTieByRowNumberThenSelfSwap) {
  // Rows 0, 1, 2 identical; row 3 elsewhere.
  const std::vector<float> data = {1, 1, 1, 1, 1, 1, 5, 5};
  const Dataset ds(data, 4, 2, Metric::L2);
  const KnnResult k1 = knn_self_bruteforce(ds, 1);
  ASSERT_EQ(k1.stride, 2u);
  EXPECT_EQ(row_ids(k1, 0), (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(row_ids(k1, 1), (std::vector<std::uint32_t>{1, 0}));
  EXPECT_EQ(row_ids(k1, 2), (std::vector<std::uint32_t>{0, 1}));  // itself not admitted
  EXPECT_EQ(row_ids(k1, 3), (std::vector<std::uint32_t>{3, 0}));
  // k >= n - 1: all rows, the self pair swapped (not rotated) to the front.
  const KnnResult all = knn_self_bruteforce(ds, 10);
  ASSERT_EQ(all.stride, 4u);
  EXPECT_EQ(row_ids(all, 2), (std::vector<std::uint32_t>{2, 1, 0, 3}));
  EXPECT_FLOAT_EQ(all.distances[2 * 4 + 3], std::sqrt(32.0f));
}

TEST(BruteForce, KZeroAndEmptyAndMaximalK) {
  const std::vector<float> data = {0, 1, 2, 3, 4, 5};
  const Dataset ds(data, 3, 2, Metric::L2);
  const KnnResult k0 = knn_self_bruteforce(ds, 0);
  EXPECT_EQ(k0.stride, 1u);
  EXPECT_EQ(k0.indices, (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_EQ(k0.distances, (std::vector<float>{0, 0, 0}));
  EXPECT_EQ(knn_self_bruteforce(ds, std::numeric_limits<std::uint64_t>::max()).stride, 3u);
  const Dataset empty(std::span<const float>(), 0, 2, Metric::L2);
  const KnnResult none = knn_self_bruteforce(empty, 5);
  EXPECT_EQ(none.stride, 1u);
  EXPECT_TRUE(none.indices.empty());
}

TEST(BruteForce, CosineReportsHalfSquaredDistanceOfUnitRows) {
  // A unit row, its opposite and a zero row.
  const std::vector<float> data = {2, 0, -3, 0, 0, 0};
  const Dataset ds(data, 3, 2, Metric::Cosine);
  const KnnResult r = knn_self_bruteforce(ds, 2);
  // Row 0: itself (0), the zero row (0.5), the opposite row (2.0).
  EXPECT_EQ(row_ids(r, 0), (std::vector<std::uint32_t>{0, 2, 1}));
  EXPECT_FLOAT_EQ(r.distances[1], 0.5f);
  EXPECT_FLOAT_EQ(r.distances[2], 2.0f);
  // The zero row is 0.5 from both unit rows.
  EXPECT_FLOAT_EQ(r.distances[2 * 3 + 1], 0.5f);
  EXPECT_FLOAT_EQ(r.distances[2 * 3 + 2], 0.5f);
}

TEST(BruteForce, NaNThatMustBeOrderedFails) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> data = {0, 0, nan, 1, 2, 2};
  const Dataset ds(data, 3, 2, Metric::L2);
  EXPECT_THROW(knn_self_bruteforce(ds, 2), Error);
}

// The reference: every pair by sq_l2, stable sort by distance, self swapped.
std::vector<std::uint32_t> reference_row(const Dataset& ds, std::size_t i, std::size_t stride) {
  std::vector<std::uint32_t> order(ds.n());
  std::iota(order.begin(), order.end(), 0u);
  std::vector<float> dist(ds.n());
  for (std::size_t j = 0; j < ds.n(); ++j) dist[j] = sq_l2(ds.row(i), ds.row(j), ds.d());
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return dist[a] < dist[b]; });
  order.resize(stride);
  const auto self = std::find(order.begin(), order.end(), i);
  if (self != order.end()) std::swap(order.front(), *self);
  return order;
}

TEST(BruteForce, MatchesReferenceOnRealDataForEveryPoolSize) {
  constexpr std::size_t n = 300;
  VELNOR_LOAD_FASHION_OR_SKIP(pixels, n);
  // Duplicate a block of rows so that exact ties occur.
  std::copy(pixels.begin(), pixels.begin() + 20 * 784, pixels.begin() + 100 * 784);
  for (const Metric metric : {Metric(Metric::L2), Metric(Metric::Cosine)}) {
    const Dataset ds(pixels, n, 784, metric);
    KnnResult first;
    for (const std::size_t workers : {1u, 2u, 4u}) {
      PoolScope scope(Pool::with_threads(workers));
      KnnResult r = knn_self_bruteforce(ds, 15);
      if (workers == 1) {
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(row_ids(r, i), reference_row(ds, i, 16)) << i;
        first = std::move(r);
      } else {
        EXPECT_EQ(r.indices, first.indices);
        EXPECT_EQ(r.distances, first.distances);
      }
    }
  }
}

}  // namespace
}  // namespace velnor
