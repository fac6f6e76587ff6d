#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "core/bruteforce.hpp"
#include "core/knn/knn_graph.hpp"
#include "core/knn/neighbor_lists.hpp"
#include "core/knn/projection.hpp"
#include "core/knn/rp_tree.hpp"
#include "core/parallel.hpp"
#include "core/rng.hpp"
#include "core/search/connect.hpp"

namespace velnor::knn {
namespace {

std::vector<float> gaussian_rows(std::uint64_t n, std::uint64_t d, std::uint64_t seed) {
  ChaCha8 rng(seed);
  std::vector<float> x(n * d);
  for (float& v : x) v = rng.uniform_f32() + rng.uniform_f32() + rng.uniform_f32() - 1.5f;
  return x;
}

TEST(NeighborLists, ContentsDoNotDependOnOfferOrder) {
  // Ids 0..39 at distances that repeat, some offered twice at different
  // distances; capacity 8. Every order must keep the 8 best ids at their
  // smallest offered distance, ascending by (distance, id).
  std::vector<Candidate> offers;
  for (std::uint32_t id = 0; id < 40; ++id) offers.push_back({id, static_cast<float>((id * 7) % 13)});
  for (std::uint32_t id = 0; id < 40; id += 5) offers.push_back({id, static_cast<float>(id % 3)});
  std::vector<Candidate> expected;
  {
    std::vector<Candidate> best(40, Candidate{0, 1e30f});
    for (const Candidate& c : offers) best[c.id] = {c.id, std::min(best[c.id].dist, c.dist)};
    std::sort(best.begin(), best.end(), [](const Candidate& a, const Candidate& b) {
      return a.dist < b.dist || (a.dist == b.dist && a.id < b.id);
    });
    expected.assign(best.begin(), best.begin() + 8);
  }
  ChaCha8 rng(4);
  for (int trial = 0; trial < 20; ++trial) {
    rng.shuffle(std::span<Candidate>(offers));
    NeighborLists lists(1, 8);
    for (const Candidate& c : offers) lists.offer(0, std::span<const Candidate>(&c, 1));
    ASSERT_EQ(lists.ids(0).size(), 8u);
    for (std::size_t j = 0; j < 8; ++j) {
      EXPECT_EQ(lists.ids(0)[j], expected[j].id);
      EXPECT_EQ(lists.dists(0)[j], expected[j].dist);
    }
    EXPECT_EQ(lists.bar(0), expected.back().dist);
  }
}

TEST(NeighborLists, NewEntriesAreFreshAndHeldOnesKeepTheirFlag) {
  NeighborLists lists(1, 4);
  const Candidate first[] = {{1, 1.0f}, {2, 2.0f}};
  lists.offer(0, first);
  for (std::uint8_t& f : lists.fresh(0)) f = 0;
  const Candidate more[] = {{2, 1.5f}, {3, 0.5f}};
  EXPECT_EQ(lists.offer(0, more), 2u);
  const std::vector<std::uint32_t> ids(lists.ids(0).begin(), lists.ids(0).end());
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{3, 1, 2}));
  const std::vector<std::uint8_t> fresh(lists.fresh(0).begin(), lists.fresh(0).end());
  EXPECT_EQ(fresh, (std::vector<std::uint8_t>{1, 0, 0}));
  EXPECT_TRUE(std::isinf(lists.bar(0)));
}

TEST(RpTree, LeavesPartitionTheRowsInBoundedSizes) {
  const std::uint64_t n = 5000, d = 16;
  std::vector<float> x = gaussian_rows(n, d, 1);
  // A block of identical rows must still be cut.
  std::fill(x.begin(), x.begin() + 800 * d, 0.25f);
  const auto leaves = rp_tree_leaves(x.data(), n, d, 300, 9);
  std::vector<int> seen(n, 0);
  for (const auto& leaf : leaves) {
    EXPECT_GE(leaf.size(), 150u);
    EXPECT_LE(leaf.size(), 300u);
    for (const std::uint32_t p : leaf) ++seen[p];
  }
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int c) { return c == 1; }));
  EXPECT_EQ(rp_tree_leaves(x.data(), n, d, 300, 9), leaves);
  EXPECT_NE(rp_tree_leaves(x.data(), n, d, 300, 10), leaves);
}

TEST(Projection, FindsTheSubspaceTheRowsLieIn) {
  // 2,000 rows on a 3-dimensional subspace of 128 dimensions.
  const std::uint64_t n = 2000, d = 128;
  const std::vector<float> coords = gaussian_rows(n, 3, 2);
  const std::vector<float> basis = gaussian_rows(3, d, 3);
  std::vector<float> x(n * d, 0.0f);
  for (std::uint64_t i = 0; i < n; ++i)
    for (std::uint64_t j = 0; j < 3; ++j)
      for (std::uint64_t k = 0; k < d; ++k) x[i * d + k] += coords[i * 3 + j] * basis[j * d + k];
  const Dataset dataset(x, n, d, Metric::L2);
  const Projection p = principal_axes(dataset, 0.99, 0.5, 4096);
  ASSERT_FALSE(p.identity());
  EXPECT_EQ(p.p, 8u);
  EXPECT_GT(p.retained, 0.999);
  for (std::uint64_t a = 0; a < p.p; ++a)
    for (std::uint64_t b = 0; b < p.p; ++b) {
      double dot = 0;
      for (std::uint64_t k = 0; k < d; ++k) dot += double{p.axes[a * d + k]} * p.axes[b * d + k];
      EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, 1e-4);
    }
  // Distances between projected rows are those between the rows.
  const std::vector<float> y = project(dataset, p);
  for (std::uint64_t i = 1; i < 50; ++i) {
    double full = 0, projected = 0;
    for (std::uint64_t k = 0; k < d; ++k) full += std::pow(double{x[i * d + k]} - x[k], 2);
    for (std::uint64_t k = 0; k < p.p; ++k) projected += std::pow(double{y[i * p.p + k]} - y[k], 2);
    EXPECT_NEAR(projected, full, 1e-3 * full + 1e-4);
  }
  // Rows spread over every dimension, or few dimensions, are used as they are.
  const std::vector<float> spread = gaussian_rows(n, d, 5);
  EXPECT_TRUE(principal_axes(Dataset(spread, n, d, Metric::L2), 0.9, 0.5, 4096).identity());
  const std::vector<float> narrow = gaussian_rows(n, 32, 6);
  EXPECT_TRUE(principal_axes(Dataset(narrow, n, 32, Metric::L2), 0.5, 0.5, 4096).identity());
}

TEST(KnnGraph, SmallSetsAreExact) {
  // Fewer rows than a leaf: every pair is measured, so the graph is the
  // brute-force one (up to the order of equal distances).
  const std::uint64_t n = 400, d = 24, k = 10;
  const std::vector<float> x = gaussian_rows(n, d, 7);
  for (const Metric metric : {Metric(Metric::L2), Metric(Metric::Cosine)}) {
    const Dataset dataset(x, n, d, metric);
    KnnGraphParams params;
    params.k = k;
    params.rp_trees = true;
    const KnnResult got = knn_graph(dataset, params);
    const KnnResult exact = knn_self_bruteforce(dataset, k);
    ASSERT_EQ(got.stride, exact.stride);
    for (std::uint64_t i = 0; i < n; ++i) {
      EXPECT_EQ(got.indices[i * got.stride], i);
      for (std::uint64_t j = 1; j < got.stride; ++j)
        EXPECT_FLOAT_EQ(got.distances[i * got.stride + j], exact.distances[i * exact.stride + j]);
    }
  }
}

TEST(KnnGraph, SameResultForAnyNumberOfWorkers) {
  const std::uint64_t n = 6000, d = 32;
  const std::vector<float> x = gaussian_rows(n, d, 8);
  const Dataset dataset(x, n, d, Metric::L2);
  KnnGraphParams params;
  params.k = 10;
  params.c_max = 256;
  params.runs = 2;
  params.joins = 2;
  params.rp_trees = true;
  std::vector<KnnResult> results;
  for (const std::size_t workers : {1, 2, 4}) {
    PoolScope scope(Pool::with_threads(workers));
    results.push_back(knn_graph(dataset, params));
  }
  for (std::size_t r = 1; r < results.size(); ++r) {
    EXPECT_EQ(results[r].indices, results[0].indices);
    EXPECT_EQ(results[r].distances, results[0].distances);
  }
}

TEST(ConnectFromMedoid, LinksPiecesAndUnlistedNodes) {
  // Two clusters on a line, each a chain; node 9 is listed by nobody.
  std::vector<float> x;
  for (int i = 0; i < 10; ++i) x.push_back(static_cast<float>(i));
  for (int i = 0; i < 10; ++i) x.push_back(100.0f + static_cast<float>(i));
  const Dataset dataset(x, 20, 1, Metric::L2);
  std::vector<std::vector<std::uint32_t>> lists(20);
  for (std::uint32_t i = 0; i + 1 < 9; ++i) {
    lists[i].push_back(i + 1);
    lists[i + 1].push_back(i);
  }
  lists[9].push_back(8);
  for (std::uint32_t i = 10; i + 1 < 20; ++i) {
    lists[i].push_back(i + 1);
    lists[i + 1].push_back(i);
  }
  ConnectReport report;
  const Graph g = connect_from_medoid(dataset, Graph::from_adjacency(lists, 4), 8, &report);
  EXPECT_EQ(report.pieces, 2u);
  EXPECT_EQ(report.unreached, 1u);
  std::vector<int> reached(20, 0);
  std::vector<std::uint32_t> stack{4};
  reached[4] = 1;
  while (!stack.empty()) {
    const std::uint32_t v = stack.back();
    stack.pop_back();
    for (const std::uint32_t u : g.neighbors_of(v))
      if (!reached[u]++) stack.push_back(u);
  }
  EXPECT_TRUE(std::all_of(reached.begin(), reached.end(), [](int r) { return r > 0; }));
  for (std::uint64_t v = 0; v < 20; ++v) {
    const auto list = g.neighbors_of(v);
    const std::vector<std::uint32_t> ids(list.begin(), list.end());
    for (const std::uint32_t id : lists[v]) EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end());
  }
}

}  // namespace
}  // namespace velnor::knn
