#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "core/build.hpp"
#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/partition/ball_carving.hpp"
#include "core/rng.hpp"

namespace velnor::partition {
namespace {

// Points around a few random cluster centres, so carving has structure.
std::vector<float> clustered(std::size_t n, std::size_t d, std::uint64_t seed) {
  ChaCha8 rng(seed);
  std::vector<float> centres(16 * d);
  for (float& v : centres) v = rng.uniform_f32() * 20.0f;
  std::vector<float> x(n * d);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = rng.bounded(16);
    for (std::size_t k = 0; k < d; ++k) x[i * d + k] = centres[c * d + k] + rng.uniform_f32();
  }
  return x;
}

BuildParams params_with(std::uint64_t c_max, std::uint64_t fanout, std::uint64_t seed = 1) {
  BuildParams p;
  p.c_max = c_max;
  p.fanout = fanout;
  p.seed = seed;
  return p;
}

// The leaves' centroids, summed and scaled in f32 as add_halo computes them.
std::vector<float> centroids_of(const LeafList& leaves, const std::vector<float>& x, std::size_t d) {
  std::vector<float> centroids(leaves.size() * d, 0.0f);
  for (std::size_t l = 0; l < leaves.size(); ++l) {
    for (const auto p : leaves[l])
      for (std::size_t c = 0; c < d; ++c) centroids[l * d + c] += x[p * d + c];
    for (std::size_t c = 0; c < d; ++c) centroids[l * d + c] *= 1.0f / static_cast<float>(leaves[l].size());
  }
  return centroids;
}

// Which leaves hold each point.
std::vector<std::vector<std::uint32_t>> leaves_of(const LeafList& leaves, std::size_t n) {
  std::vector<std::vector<std::uint32_t>> where(n);
  for (std::uint32_t l = 0; l < leaves.size(); ++l)
    for (const std::uint32_t p : leaves[l]) where.at(p).push_back(l);
  return where;
}

TEST(Partition, CarvedLeavesAreDisjointCoverAndRespectCmax) {
  const std::size_t n = 3000, d = 8;
  const auto x = clustered(n, d, 1);
  const Dataset ds(x, n, d, Metric::L2);
  for (const std::uint64_t c_max : {1u, 7u, 64u, 500u, 2999u}) {
    for (const std::uint64_t fanout : {0u, 1u}) {
      const LeafList leaves = partition(ds, params_with(c_max, fanout));
      for (const auto& leaf : leaves) {
        ASSERT_FALSE(leaf.empty());
        ASSERT_LE(leaf.size(), c_max);
      }
      for (const auto& held : leaves_of(leaves, n)) ASSERT_EQ(held.size(), 1u) << "c_max " << c_max;
    }
  }
}

TEST(Partition, SmallSetIsOneLeafInOrder) {
  const auto x = clustered(50, 3, 2);
  const Dataset ds(x, 50, 3, Metric::L2);
  const LeafList leaves = partition(ds, params_with(50, 2));
  ASSERT_EQ(leaves.size(), 1u);
  std::vector<std::uint32_t> all(50);
  std::iota(all.begin(), all.end(), 0u);
  EXPECT_EQ(leaves[0], all);
  EXPECT_TRUE(partition(Dataset({}, 0, 3, Metric::L2), params_with(50, 2)).empty());
}

TEST(Partition, RefusesZeroCmax) {
  const auto x = clustered(10, 3, 2);
  const Dataset ds(x, 10, 3, Metric::L2);
  EXPECT_THROW(partition(ds, params_with(0, 2)), InvalidArgument);
}

// All points identical: every point falls to the first centre, whose bucket
// holds more than 90 % of the set, so the set is shuffled and cut into
// chunks of c_max. The generator first shuffles a copy for the centres, then
// the bucket itself.
TEST(Partition, IdenticalPointsAreCutAtRandom) {
  const std::size_t n = 100, c_max = 16;
  const std::vector<float> x(n * 4, 3.5f);
  const Dataset ds(x, n, 4, Metric::L2);
  const BuildParams p = params_with(c_max, 1, 77);
  const LeafList leaves = partition(ds, p);

  ChaCha8 rng(77 ^ 0x9E3779B97F4A7C15ull);
  std::vector<std::uint32_t> ids(n);
  std::iota(ids.begin(), ids.end(), 0u);
  std::vector<std::uint32_t> centres = ids;
  rng.shuffle(std::span<std::uint32_t>(centres));
  rng.shuffle(std::span<std::uint32_t>(ids));
  LeafList expected;
  for (std::size_t b = 0; b < n; b += c_max)
    expected.emplace_back(ids.begin() + b, ids.begin() + std::min(n, b + c_max));
  EXPECT_EQ(leaves, expected);
  EXPECT_EQ(leaves.back().size(), 4u);
}

// Below depth 24 an oversized bucket holding at most 90 % of its parent is
// carved again (new centres are drawn first); deeper it is cut at once.
TEST(Partition, DepthLimitCutsOversizedBucketsAtOnce) {
  // Two groups of 30 identical points: the first split gives one bucket per
  // group, each half of its parent.
  const std::size_t n = 60, c_max = 10;
  std::vector<float> x(n * 2, 0.0f);
  for (std::size_t i = 30; i < n; ++i) x[i * 2] = 100.0f;
  const Dataset ds(x, n, 2, Metric::L2);

  auto carve_at = [&](std::uint64_t depth) {
    ChaCha8 rng(5);
    std::vector<std::uint32_t> ids(n);
    std::iota(ids.begin(), ids.end(), 0u);
    LeafList out;
    carve_disjoint(ds, c_max, ids, depth, rng, out);
    return out;
  };
  // The same walk replayed with the generator: centres of the whole set, then
  // per group (in centre order) either a cut, or centres again and then a cut
  // (the group's one bucket exceeds 90 % of the group).
  auto replay = [&](bool carve_groups) {
    ChaCha8 rng(5);
    std::vector<std::uint32_t> ids(n);
    std::iota(ids.begin(), ids.end(), 0u);
    std::vector<std::uint32_t> centres = ids;
    rng.shuffle(std::span<std::uint32_t>(centres));
    centres.resize(2 * n / c_max);
    std::vector<std::uint32_t> group_a(ids.begin(), ids.begin() + 30), group_b(ids.begin() + 30, ids.end());
    const bool a_first = std::find_if(centres.begin(), centres.end(), [](std::uint32_t c) { return c < 30; }) <
                         std::find_if(centres.begin(), centres.end(), [](std::uint32_t c) { return c >= 30; });
    LeafList out;
    for (auto* group : a_first ? std::vector{&group_a, &group_b} : std::vector{&group_b, &group_a}) {
      if (carve_groups) {
        std::vector<std::uint32_t> copy = *group;
        rng.shuffle(std::span<std::uint32_t>(copy));
      }
      rng.shuffle(std::span<std::uint32_t>(*group));
      for (std::size_t b = 0; b < group->size(); b += c_max)
        out.emplace_back(group->begin() + b, group->begin() + b + c_max);
    }
    return out;
  };
  EXPECT_EQ(carve_at(0), replay(true));
  EXPECT_EQ(carve_at(23), replay(true));
  EXPECT_EQ(carve_at(24), replay(false));
}

TEST(Partition, CminIsNotRead) {
  const auto x = clustered(2000, 6, 3);
  const Dataset ds(x, 2000, 6, Metric::L2);
  BuildParams a = params_with(100, 2), b = a;
  a.c_min = 0;
  b.c_min = 1000000;
  EXPECT_EQ(partition(ds, a), partition(ds, b));
}

TEST(NearestCentroids, OrderTiesAndExclusion) {
  // One-dimensional centroids: distances from query 0 are the squares.
  const std::vector<float> centroids = {3.0f, -1.0f, 1.0f, 2.0f, -2.0f, 1.0f};
  const float query = 0.0f;
  const std::vector<std::uint32_t> all = {0, 1, 2, 3, 4, 5};
  const struct {
    std::uint64_t k;
    std::uint32_t excluded;
    std::vector<std::uint32_t> candidates;
    std::vector<std::uint32_t> expected;
  } cases[] = {
      {1, 99, all, {1}},                    // ties at distance 1: the earliest candidate
      {3, 99, all, {1, 2, 5}},              // equal distances keep candidate order
      {3, 2, all, {1, 5, 3}},               // excluded never returned
      {2, 99, {5, 2, 1}, {5, 2}},           // an equal distance never displaces
      {10, 0, all, {1, 2, 5, 3, 4}},        // k beyond the candidates: all of them, sorted
      {2, 99, {}, {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(nearest_centroids(&query, centroids.data(), 1, c.k, c.excluded, c.candidates), c.expected);
}

TEST(NearestCentroids, RefusesNaN) {
  const std::vector<float> centroids = {1.0f, std::numeric_limits<float>::quiet_NaN()};
  const float query = 0.0f;
  const std::vector<std::uint32_t> all = {0, 1};
  EXPECT_THROW(nearest_centroids(&query, centroids.data(), 1, 2, 99, all), Error);
}

// L <= 256: every point gains exactly min(L - 1, fanout - 1) halo leaves, the
// nearest centroids other than its own; each leaf lists its carved members
// and then its halo members in ascending id order.
TEST(Halo, DirectSearchAddsTheNearestOtherLeaves) {
  const std::size_t n = 3000, d = 8;
  const auto x = clustered(n, d, 4);
  const Dataset ds(x, n, d, Metric::L2);
  for (const std::uint64_t fanout : {2u, 3u, 1000u}) {
    const LeafList carved = partition(ds, params_with(200, 1, 9));
    const LeafList leaves = partition(ds, params_with(200, fanout, 9));
    const std::size_t count = carved.size();
    ASSERT_GE(count, 2u);
    ASSERT_LE(count, 256u);
    ASSERT_EQ(leaves.size(), count);
    const std::uint64_t k = std::min<std::uint64_t>(count - 1, fanout - 1);

    const std::vector<float> centroids = centroids_of(carved, x, d);
    std::vector<std::uint32_t> home(n);
    for (std::size_t l = 0; l < count; ++l)
      for (const auto p : carved[l]) home[p] = l;
    std::vector<std::vector<std::uint32_t>> halo_of(n);
    for (std::size_t l = 0; l < count; ++l) {
      ASSERT_TRUE(std::equal(carved[l].begin(), carved[l].end(), leaves[l].begin()));
      const std::vector<std::uint32_t> added(leaves[l].begin() + carved[l].size(), leaves[l].end());
      ASSERT_TRUE(std::is_sorted(added.begin(), added.end()));
      for (const auto p : added) halo_of[p].push_back(l);
    }
    for (std::uint32_t p = 0; p < n; ++p) {
      ASSERT_EQ(halo_of[p].size(), k) << "point " << p;
      // The halo leaves are the k nearest other centroids.
      std::vector<std::pair<float, std::uint32_t>> by_dist;
      for (std::uint32_t l = 0; l < count; ++l)
        if (l != home[p]) by_dist.push_back({sq_l2(ds.row(p), centroids.data() + l * d, d), l});
      std::stable_sort(by_dist.begin(), by_dist.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      std::vector<std::uint32_t> nearest;
      for (std::uint64_t t = 0; t < k; ++t) nearest.push_back(by_dist[t].second);
      std::sort(nearest.begin(), nearest.end());
      ASSERT_EQ(halo_of[p], nearest) << "point " << p;
    }
  }
}

// The halo measured by products picks, for every point, leaves as near as
// the exact halo's: the same distances, up to the rounding of the products
// (twice product_distance_error: one for each of two distances swapped).
TEST(Halo, ProductsFindLeavesAsNearAsExactDistances) {
  const std::size_t n = 3000, d = 24;
  const auto x = clustered(n, d, 4);
  const Dataset ds(x, n, d, Metric::L2);
  const LeafList carved = partition(ds, params_with(100, 1, 9));
  ASSERT_GE(carved.size(), 8u);
  ASSERT_LE(carved.size(), 256u);
  for (const std::uint64_t fanout : {2u, 4u}) {
    LeafList exact = carved, products = carved;
    add_halo(ds, exact, fanout, 9, HaloMeasure::kExact);
    add_halo(ds, products, fanout, 9, HaloMeasure::kProducts);
    ASSERT_EQ(products.size(), carved.size());
    std::vector<std::vector<std::uint32_t>> exact_of(n), products_of(n);
    for (std::size_t l = 0; l < carved.size(); ++l) {
      ASSERT_TRUE(std::equal(carved[l].begin(), carved[l].end(), products[l].begin()));
      for (std::size_t i = carved[l].size(); i < exact[l].size(); ++i) exact_of[exact[l][i]].push_back(l);
      for (std::size_t i = carved[l].size(); i < products[l].size(); ++i) {
        products_of[products[l][i]].push_back(l);
      }
    }
    const std::vector<float> centroids = centroids_of(carved, x, d);
    const auto distances = [&](std::uint32_t p, const std::vector<std::uint32_t>& ls) {
      std::vector<float> out;
      for (const auto l : ls) out.push_back(sq_l2(ds.row(p), centroids.data() + l * d, d));
      std::sort(out.begin(), out.end());
      return out;
    };
    float largest_norm = 0.0f;
    for (std::size_t l = 0; l < carved.size(); ++l) {
      largest_norm = std::max(largest_norm, squared_norm(centroids.data() + l * d, d));
    }
    std::size_t swapped = 0;
    for (std::uint32_t p = 0; p < n; ++p) {
      ASSERT_EQ(products_of[p].size(), fanout - 1) << "point " << p;
      swapped += products_of[p] != exact_of[p];
      const std::vector<float> want = distances(p, exact_of[p]), got = distances(p, products_of[p]);
      for (std::size_t i = 0; i < want.size(); ++i) {
        const double slack = 2.0 * product_distance_error(d, ds.norms()[p], largest_norm, want[i]);
        ASSERT_LE(got[i], want[i] + slack) << "point " << p << ", fanout " << fanout;
      }
    }
    EXPECT_LT(swapped, n / 100) << "only near ties may come out otherwise";
  }
}

// Two carved leaves and fanout 2: both leaves end up holding every point.
TEST(Halo, TwoLeavesBothHoldEveryPoint) {
  const std::size_t n = 300;
  const auto x = clustered(n, 4, 5);
  const Dataset ds(x, n, 4, Metric::L2);
  BuildParams p = params_with(n - 1, 2);
  const LeafList leaves = partition(ds, p);
  ASSERT_EQ(leaves.size(), 2u);
  for (const auto& leaf : leaves) {
    std::vector<std::uint32_t> sorted = leaf;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(sorted.size(), n);
    for (std::uint32_t i = 0; i < n; ++i) ASSERT_EQ(sorted[i], i);
  }
}

// With 257 leaves or more the search is limited to three leaf groups: a point
// gains at most k halo leaves, never its own, never twice in one leaf, and
// the leaf list does not depend on the number of workers.
TEST(Halo, GroupedSearchForManyLeaves) {
  const std::size_t n = 6000, d = 6;
  const auto x = clustered(n, d, 6);
  const Dataset ds(x, n, d, Metric::L2);
  const LeafList carved = partition(ds, params_with(24, 1, 12));
  ASSERT_GE(carved.size(), 257u);
  for (const std::uint64_t fanout : {3u, 100000u}) {
    const BuildParams p = params_with(24, fanout, 12);
    LeafList leaves;
    {
      PoolScope one(Pool::with_threads(1));
      leaves = partition(ds, p);
    }
    std::size_t gained_k = 0;
    const auto held = leaves_of(leaves, n);
    for (std::uint32_t pt = 0; pt < n; ++pt) {
      const auto& where = held[pt];
      ASSERT_GE(where.size(), 2u);
      ASSERT_LT(where.size(), carved.size());  // three groups never hold every leaf
      ASSERT_EQ(std::adjacent_find(where.begin(), where.end()), where.end());
      gained_k += where.size() == 3;
    }
    if (fanout == 3) {
      EXPECT_GT(gained_k, n * 9 / 10);
    }
    for (const std::size_t workers : {2u, 4u}) {
      PoolScope pool(Pool::with_threads(workers));
      EXPECT_EQ(partition(ds, p), leaves) << workers << " workers, fanout " << fanout;
    }
  }
}

}  // namespace
}  // namespace velnor::partition
