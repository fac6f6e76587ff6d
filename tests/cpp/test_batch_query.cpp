#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "core/batch_query.hpp"
#include "core/bruteforce.hpp"
#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/search/beam_search.hpp"
#include "core/search/pivots.hpp"
#include "core/search/search_index.hpp"
#include "fashion_mnist.hpp"

namespace velnor {
namespace {

using Lists = std::vector<std::vector<std::uint32_t>>;
using CandLists = std::vector<std::vector<Candidate>>;

// A dataset over its own buffer (an L2 dataset borrows it).
struct Points {
  Points(std::vector<float> v, std::uint64_t d, Metric metric = Metric::L2)
      : values(std::move(v)), dataset(values, values.size() / d, d, metric) {}
  std::vector<float> values;
  Dataset dataset;
};

// Rows 0, 1, ..., n-1 at x = 0, 1, ..., n-1 on a line.
std::vector<float> line(std::uint64_t n) {
  std::vector<float> x(n);
  std::iota(x.begin(), x.end(), 0.0f);
  return x;
}

// Each node linked to its left and right neighbour on the line.
Graph chain(std::uint64_t n) {
  Lists lists(n);
  for (std::uint32_t i = 0; i + 1 < n; ++i) {
    lists[i].push_back(i + 1);
    lists[i + 1].push_back(i);
  }
  return Graph::from_adjacency(lists, 0);
}

std::vector<std::uint32_t> row_ids(const KnnResult& r, std::uint64_t row) {
  return {r.indices.begin() + static_cast<std::ptrdiff_t>(row * r.stride),
          r.indices.begin() + static_cast<std::ptrdiff_t>((row + 1) * r.stride)};
}

std::vector<float> row_dists(const KnnResult& r, std::uint64_t row) {
  return {r.distances.begin() + static_cast<std::ptrdiff_t>(row * r.stride),
          r.distances.begin() + static_cast<std::ptrdiff_t>((row + 1) * r.stride)};
}

// Without edges a query returns exactly its seeds: the 16 pivots (rows
// 0, 25, 50, ...) nearest to it, ascending.
TEST(KnnQuery, SeedsAreTheNearestPivots) {
  Points points(line(10000), 1);
  const Graph no_edges = Graph::from_adjacency(Lists(10000), 0);
  const std::vector<float> queries = {1234.4f, 0.0f, 9998.0f};
  const KnnResult r = knn_query(points.dataset, no_edges, queries, 3, 16, 64);
  ASSERT_EQ(r.stride, 16u);
  for (std::uint64_t q = 0; q < 3; ++q) {
    std::vector<std::uint32_t> pivots;
    for (std::uint32_t p = 0; p < 10000; p += 25) pivots.push_back(p);
    std::stable_sort(pivots.begin(), pivots.end(), [&](std::uint32_t a, std::uint32_t b) {
      return std::abs(a - queries[q]) < std::abs(b - queries[q]);
    });
    pivots.resize(16);
    EXPECT_EQ(row_ids(r, q), pivots) << "query " << q;
  }
}

TEST(KnnQuery, RowWidthSearchWidthAndPadding) {
  // n = 40 rows are all pivots; 16 of them seed. Without edges nothing else
  // is reached, so the row of 30 repeats its 16th entry.
  {
    Points points(line(40), 1);
    const float query = 10.2f;
    const KnnResult r = knn_query(points.dataset, Graph::from_adjacency(Lists(40), 0),
                                  {&query, 1}, 1, 30, 64);
    ASSERT_EQ(r.stride, 30u);
    const std::vector<std::uint32_t> ids = row_ids(r, 0);
    const std::vector<std::uint32_t> nearest16 = {10, 11, 9, 12, 8, 13, 7, 14,
                                                  6,  15, 5, 16, 4, 17, 3, 18};
    EXPECT_TRUE(std::equal(nearest16.begin(), nearest16.end(), ids.begin()));
    for (std::size_t m = 16; m < 30; ++m) {
      EXPECT_EQ(ids[m], 18u);
      EXPECT_EQ(r.distances[m], r.distances[15]);
    }
    EXPECT_FLOAT_EQ(r.distances[15], 7.8f);
  }
  // A beam_l below the row width still searches with the row width: the
  // chain walk must reach the 30 nearest rows, not stop after one.
  {
    Points points(line(200), 1);
    const float query = 100.3f;
    const KnnResult r = knn_query(points.dataset, chain(200), {&query, 1}, 1, 30, 1);
    std::vector<std::uint32_t> ids = row_ids(r, 0);
    std::sort(ids.begin(), ids.end());
    std::vector<std::uint32_t> expected(30);
    std::iota(expected.begin(), expected.end(), 86u);
    EXPECT_EQ(ids, expected);
  }
  // k above n: every base row once.
  {
    Points points(line(5), 1);
    const float query = 3.0f;
    const KnnResult r = knn_query(points.dataset, chain(5), {&query, 1}, 1, 10, 64);
    ASSERT_EQ(r.stride, 5u);
    EXPECT_EQ(row_ids(r, 0), (std::vector<std::uint32_t>{3, 2, 4, 1, 0}));
    EXPECT_EQ(row_dists(r, 0), (std::vector<float>{0, 1, 1, 2, 3}));
  }
}

TEST(KnnQuery, Failures) {
  Points points(line(10), 1);
  const Graph graph = chain(10);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> two = {1.0f, 2.0f};

  EXPECT_THROW(knn_query(points.dataset, graph, two, 2, 0, 64), InvalidArgument);
  Points empty({}, 1);
  EXPECT_THROW(knn_query(empty.dataset, Graph::from_adjacency({}, 0), two, 2, 1, 64),
               InvalidArgument);
  EXPECT_THROW(knn_query(points.dataset, graph, two, 3, 1, 64), Error);
  EXPECT_THROW(knn_query(points.dataset, graph, {&nan, 1}, 1, 3, 64), Error);
  EXPECT_THROW(knn_query(points.dataset, chain(9), two, 2, 1, 64), Error);
  const KnnResult none = knn_query(points.dataset, graph, {}, 0, 4, 64);
  EXPECT_EQ(none.stride, 4u);
  EXPECT_TRUE(none.indices.empty());

  // Rows of no columns: every distance is 0, the rows fill all the same.
  const Dataset flat(std::span<const float>(), 3000, 0, Metric::L2);
  const KnnResult zero_dim = knn_query(flat, Graph::from_adjacency(Lists(3000), 0), {}, 2, 3, 64);
  EXPECT_EQ(zero_dim.indices.size(), 6u);
  EXPECT_EQ(zero_dim.distances, std::vector<float>(6, 0.0f));
}

TEST(KnnSelfGraph, SelfFirstWidthAndPadding) {
  // Rows 0 and 1 coincide, so each must still put itself first. Nodes 3 and
  // 4 form their own component, unreachable from 0, 1 and 2.
  Points points({0, 0, 1, 10, 12}, 1);
  const Graph graph = Graph::from_adjacency({{1, 2}, {0, 2}, {0, 1}, {4}, {3}}, 0);
  const struct {
    std::uint64_t k, beam_l;
    std::uint64_t stride;
    std::vector<std::uint32_t> row0, row1, row3;
  } cases[] = {
      {0, 64, 1, {0}, {1}, {3}},
      {1, 64, 2, {0, 1}, {1, 0}, {3, 4}},
      {10, 64, 5, {0, 1, 2, 0, 0}, {1, 0, 2, 1, 1}, {3, 4, 3, 3, 3}},
      {10, 1, 5, {0, 1, 2, 0, 0}, {1, 0, 2, 1, 1}, {3, 4, 3, 3, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "k=" << c.k << " beam_l=" << c.beam_l);
    const KnnResult r = knn_self_graph(points.dataset, graph, nullptr, c.k, c.beam_l);
    ASSERT_EQ(r.stride, c.stride);
    EXPECT_EQ(row_ids(r, 0), c.row0);
    EXPECT_EQ(row_ids(r, 1), c.row1);
    EXPECT_EQ(row_ids(r, 3), c.row3);
    EXPECT_EQ(r.distances[3 * r.stride], 0.0f);
  }
  // A beam_l below the row width searches with the row width.
  Points long_line(line(100), 1);
  const KnnResult r = knn_self_graph(long_line.dataset, chain(100), nullptr, 20, 1);
  std::vector<std::uint32_t> ids = row_ids(r, 50);
  EXPECT_EQ(ids.front(), 50u);
  std::sort(ids.begin(), ids.end());
  std::vector<std::uint32_t> expected(21);
  std::iota(expected.begin(), expected.end(), 40u);
  EXPECT_EQ(ids, expected);
}

TEST(KnnSelfGraph, WarmListsSeedTheSearch) {
  Points points({0, 5, 1, 7, 2}, 1);
  const Graph no_edges = Graph::from_adjacency(Lists(5), 0);
  CandLists warm(5);
  warm[0] = {{4, 4.0f}, {2, 1.0f}, {3, 49.0f}};
  const KnnResult cold = knn_self_graph(points.dataset, no_edges, nullptr, 3, 64);
  const KnnResult warmed = knn_self_graph(points.dataset, no_edges, &warm, 3, 64);
  EXPECT_EQ(row_ids(cold, 0), (std::vector<std::uint32_t>{0, 0, 0, 0}));
  EXPECT_EQ(row_ids(warmed, 0), (std::vector<std::uint32_t>{0, 2, 4, 3}));
  EXPECT_EQ(row_dists(warmed, 0), (std::vector<float>{0, 1, 2, 7}));
  EXPECT_EQ(row_ids(warmed, 1), (std::vector<std::uint32_t>{1, 1, 1, 1}));


  const CandLists too_few(4);
  EXPECT_THROW(knn_self_graph(points.dataset, no_edges, &too_few, 3, 64), Error);
  warm[2] = {{5, 1.0f}};
  EXPECT_THROW(knn_self_graph(points.dataset, no_edges, &warm, 3, 64), Error);
}

// Rows on a line at x = 3 * id, so row i's squared distance to row j is
// 9 (i - j)^2; equal gaps on both sides give ties.
TEST(KnnSelfReservoir, PoolRanking) {
  std::vector<float> x(20);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 3.0f * static_cast<float>(i);
  Points points(x, 1);
  Lists adjacency(20);
  adjacency[10] = {18, 10};
  for (std::uint32_t c = 1; c <= 7; ++c) adjacency[c] = {static_cast<std::uint32_t>(10 + c)};
  const Graph graph = Graph::from_adjacency(adjacency, 0);

  CandLists cands(20);
  // Row 0's list: the neighbours of its first six candidates (11..16) join
  // the pool, those of the seventh (17) do not; the repeated 2 counts once.
  cands[0] = {{1, 9}, {2, 36}, {3, 81}, {4, 144}, {5, 225}, {6, 324}, {7, 441}, {2, 36}};
  // Row 12's list ties around it (11 and 13, 9 and 15) and holds row 12
  // itself, which is never ranked.
  cands[12] = {{13, 9}, {15, 81}, {12, 0}, {11, 9}, {9, 81}};

  const struct {
    const char* name;
    std::uint32_t row;
    std::uint64_t k;
    bool expand;
    std::vector<std::uint32_t> expected;
  } cases[] = {
      {"list only", 0, 10, false, {0, 1, 2, 3, 4, 5, 6, 7, 0, 0, 0}},
      {"expanded", 0, 20, true, {0, 1, 2, 3, 4, 5, 6, 7, 11, 12, 13, 14, 15, 16, 0, 0, 0, 0, 0, 0}},
      {"k nearest kept", 0, 3, true, {0, 1, 2, 3}},
      {"ties in ascending id order", 12, 4, false, {12, 11, 13, 9, 15}},
      {"empty list ranks the graph neighbours", 10, 3, true, {10, 18, 10, 10}},
      {"k = 0", 12, 0, true, {12}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const KnnResult r = knn_self_reservoir(points.dataset, graph, cands, c.k, c.expand);
    ASSERT_EQ(r.stride, c.expected.size());
    EXPECT_EQ(row_ids(r, c.row), c.expected);
    const std::vector<float> dists = row_dists(r, c.row);
    for (std::size_t m = 0; m < dists.size(); ++m) {
      EXPECT_EQ(dists[m], 3.0f * std::abs(static_cast<float>(c.expected[m]) - c.row));
    }
  }

  // Many equal distances: still ascending id when no selection is needed.
  {
    std::vector<float> clump(40, 1.0f);
    clump[0] = 0.0f;
    Points many(clump, 1);
    CandLists lists(40);
    for (std::uint32_t j = 39; j >= 1; --j) lists[0].push_back({j, 1.0f});
    const KnnResult r =
        knn_self_reservoir(many.dataset, Graph::from_adjacency(Lists(40), 0), lists, 39, false);
    std::vector<std::uint32_t> expected(40);
    std::iota(expected.begin(), expected.end(), 0u);
    EXPECT_EQ(row_ids(r, 0), expected);
  }

  EXPECT_THROW(knn_self_reservoir(points.dataset, graph, CandLists(19), 3, true), Error);
  cands[4] = {{20, 1}};
  EXPECT_THROW(knn_self_reservoir(points.dataset, graph, cands, 3, false), Error);
  cands[4] = {{3, 1}};
  x[3] = std::numeric_limits<float>::quiet_NaN();
  Points with_nan(x, 1);
  EXPECT_THROW(knn_self_reservoir(with_nan.dataset, graph, cands, 3, false), Error);
}

// A small real slice: 2000 base rows of Fashion-MNIST, 200 held-out rows as
// queries, and the exact 8-NN graph of the base as the search graph (so a
// self row of 10 needs more than the row's own list). The candidate lists
// are the same 8 neighbours.
class FashionSlice : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kBase = 2000, kQueries = 200, kDegree = 8, kTruth = 10;

  void SetUp() override {
    VELNOR_LOAD_FASHION_OR_SKIP(all, kBase + kQueries);
    const auto split = all.begin() + static_cast<std::ptrdiff_t>(kBase * testdata::kFashionDim);
    base_.assign(all.begin(), split);
    queries_.assign(split, all.end());
    dataset_.emplace(base_, kBase, testdata::kFashionDim, Metric::L2);
    exact_ = knn_self_bruteforce(*dataset_, kTruth);
    Lists lists(kBase);
    cands_.resize(kBase);
    for (std::uint64_t i = 0; i < kBase; ++i) {
      for (std::uint64_t m = 0; m < exact_.stride; ++m) {
        const std::uint32_t j = exact_.indices[i * exact_.stride + m];
        if (j == i || lists[i].size() == kDegree) continue;
        lists[i].push_back(j);
        const float s = exact_.distances[i * exact_.stride + m];
        cands_[i].push_back({j, s * s});
      }
    }
    graph_ = Graph::from_adjacency(std::move(lists), 0);
  }

  std::vector<float> base_, queries_;
  std::optional<Dataset> dataset_;
  KnnResult exact_;
  Graph graph_;
  CandLists cands_;
};

TEST_F(FashionSlice, SameResultsForAnyWorkerCount) {
  std::vector<KnnResult> runs;
  for (const std::size_t workers : {1, 2, 4}) {
    PoolScope scope(Pool::with_threads(workers));
    runs.push_back(knn_query(*dataset_, graph_, queries_, kQueries, 10, 32));
    runs.push_back(knn_self_graph(*dataset_, graph_, nullptr, 10, 32));
    runs.push_back(knn_self_graph(*dataset_, graph_, &cands_, 10, 32));
    runs.push_back(knn_self_reservoir(*dataset_, graph_, cands_, 10, true));
  }
  for (std::size_t r = 4; r < runs.size(); ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(runs[r].indices, runs[r % 4].indices);
    EXPECT_EQ(runs[r].distances, runs[r % 4].distances);
  }
}

// Every query row against the query driver read literally over the original
// rows: the plan's pivots of smallest sq_l2 (by a scan of all of them) seed
// a beam search over the dataset and graph themselves, and the row is cut or
// padded. Whatever the index's order, under either metric, one query per
// call (on the calling thread) or all in one (on the pool).
TEST_F(FashionSlice, QueriesMatchALiteralReading) {
  const std::uint64_t d = testdata::kFashionDim, k = 10;
  std::vector<std::uint32_t> identity(kBase), reversed(kBase);
  std::iota(identity.begin(), identity.end(), 0u);
  std::iota(reversed.rbegin(), reversed.rend(), 0u);
  for (const Metric metric : {Metric::L2, Metric::Cosine}) {
    const Dataset ds(base_, kBase, d, metric);
    for (const std::uint64_t beam_l : {1u, 16u, 64u}) {
      SCOPED_TRACE(::testing::Message() << "cosine " << (metric == Metric::Cosine)
                                        << " beam_l " << beam_l);
      const std::uint64_t L = std::max(k, beam_l);
      const PivotPlan plan = pivot_plan(kBase, L);
      KnnResult expected = KnnResult::zeroed(kQueries, k);
      Scratch scratch(kBase);
      for (std::uint64_t q = 0; q < kQueries; ++q) {
        const float* query = queries_.data() + q * d;
        std::vector<std::pair<float, std::uint32_t>> pivots;
        for (std::uint64_t p = 0; p < plan.count; ++p) {
          const auto row = static_cast<std::uint32_t>(p * plan.step);
          pivots.push_back({sq_l2(query, ds.row(row), d), row});
        }
        std::stable_sort(pivots.begin(), pivots.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<std::uint32_t> seeds;
        for (std::uint64_t s = 0; s < plan.seeds; ++s) seeds.push_back(pivots[s].second);
        const auto found = beam_search(ds, graph_, seeds, query, L, scratch);
        expected.write_row(q, metric, found,
                           found.empty() ? Candidate{graph_.medoid, 0.0f} : found.back());
      }
      for (const auto* order : {&identity, &reversed}) {
        const SearchIndex index(ds, graph_, *order);
        const KnnResult all = index.query(queries_, kQueries, k, beam_l);
        EXPECT_EQ(all.indices, expected.indices);
        EXPECT_EQ(all.distances, expected.distances);
        for (std::uint64_t q = 0; q < kQueries; q += 7) {
          const KnnResult one = index.query({queries_.data() + q * d, d}, 1, k, beam_l);
          ASSERT_EQ(one.indices, row_ids(expected, q)) << "query " << q;
          ASSERT_EQ(one.distances, row_dists(expected, q)) << "query " << q;
        }
      }
    }
  }
}

// Threads querying one index at once, with different widths and batch
// sizes, get what each would get alone.
TEST_F(FashionSlice, ConcurrentQueriesOnOneIndex) {
  const std::uint64_t d = testdata::kFashionDim;
  const SearchIndex index(*dataset_, graph_, locality_order(graph_));
  const std::uint64_t widths[] = {10, 40, 300};
  std::vector<KnnResult> alone;
  for (const std::uint64_t w : widths) alone.push_back(index.query(queries_, kQueries, 10, w));
  std::vector<std::thread> threads;
  std::vector<int> mismatches(6, 0);
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      PoolScope scope(Pool::with_threads(2));
      const std::uint64_t w = widths[t % 3];
      const KnnResult& want = alone[t % 3];
      if (t < 3) {
        const KnnResult all = index.query(queries_, kQueries, 10, w);
        mismatches[t] = all.indices != want.indices || all.distances != want.distances;
        return;
      }
      for (std::uint64_t q = 0; q < kQueries; q += 5) {
        const KnnResult one = index.query({queries_.data() + q * d, d}, 1, 10, w);
        mismatches[t] += one.indices != row_ids(want, q) || one.distances != row_dists(want, q);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(6, 0));
}

// The same rows again over a copy in a given order (here the reverse).
TEST_F(FashionSlice, SelfRowsMatchSearchOverOriginalRows) {
  const std::uint64_t k = 10, beam_l = 16;
  std::vector<std::uint32_t> reversed(kBase);
  std::iota(reversed.rbegin(), reversed.rend(), 0u);
  const CandLists* const warm_lists[] = {nullptr, &cands_};
  for (const CandLists* warm : warm_lists) {
    SCOPED_TRACE(warm ? "warm" : "cold");
    const KnnResult got = knn_self_graph(*dataset_, graph_, warm, k, beam_l);
    const KnnResult reordered = knn_self_graph(*dataset_, graph_, warm, k, beam_l, &reversed);
    ASSERT_EQ(reordered.indices, got.indices);
    ASSERT_EQ(reordered.distances, got.distances);
    Scratch scratch(kBase);
    for (std::uint32_t i = 0; i < kBase; ++i) {
      std::vector<std::uint32_t> seeds{i};
      if (warm) {
        for (const Candidate& c : (*warm)[i]) seeds.push_back(c.id);
      }
      const auto found = beam_search(*dataset_, graph_, seeds, dataset_->row(i), beam_l, scratch);
      std::vector<std::uint32_t> ids{i};
      std::vector<float> dists{0.0f};
      for (const Candidate& c : found) {
        if (c.id == i) {
          dists.front() = std::sqrt(c.dist);
        } else if (ids.size() <= k) {
          ids.push_back(c.id);
          dists.push_back(std::sqrt(c.dist));
        }
      }
      ASSERT_EQ(row_ids(got, i), ids) << "row " << i;
      ASSERT_EQ(row_dists(got, i), dists) << "row " << i;
    }
  }
}

// Fraction of returned neighbours within the true k-th distance `kth_sq` of
// their row (ties count as hits), skipping the first `skip` slots of a row;
// every reported distance is checked against sq_l2 itself.
double recall(const KnnResult& got, const std::vector<float>& kth_sq, const float* queries,
              const Dataset& ds, std::uint64_t skip) {
  std::uint64_t hits = 0, total = 0;
  for (std::uint64_t q = 0; q < kth_sq.size(); ++q) {
    for (std::uint64_t m = skip; m < got.stride; ++m) {
      const std::uint32_t id = got.indices[q * got.stride + m];
      const float s = sq_l2(queries + q * ds.d(), ds.row(id), ds.d());
      EXPECT_EQ(got.distances[q * got.stride + m], std::sqrt(s));
      hits += s <= kth_sq[q];
      ++total;
    }
  }
  return static_cast<double>(hits) / static_cast<double>(total);
}

TEST_F(FashionSlice, RecallAgainstExactSearch) {
  const std::uint64_t d = testdata::kFashionDim, k = kTruth;
  std::vector<float> held_out_kth(kQueries), self_kth(kBase);
  for (std::uint64_t q = 0; q < kQueries; ++q) {
    std::vector<float> all(kBase);
    for (std::uint64_t j = 0; j < kBase; ++j) {
      all[j] = sq_l2(queries_.data() + q * d, dataset_->row(j), d);
    }
    std::nth_element(all.begin(), all.begin() + (k - 1), all.end());
    held_out_kth[q] = all[k - 1];
  }
  for (std::uint64_t i = 0; i < kBase; ++i) {
    // Slot k of the exact row is the k-th neighbour after the row itself.
    self_kth[i] = sq_l2(dataset_->row(i), dataset_->row(exact_.indices[i * exact_.stride + k]), d);
  }
  // Floors a little under what this slice gives: 0.963 for held-out
  // queries, 0.991 for graph self-kNN, 0.952 for the reservoir mode.
  const KnnResult queried = knn_query(*dataset_, graph_, queries_, kQueries, k, 64);
  EXPECT_GE(recall(queried, held_out_kth, queries_.data(), *dataset_, 0), 0.94);

  const KnnResult by_graph = knn_self_graph(*dataset_, graph_, nullptr, k, 64);
  const KnnResult reservoir = knn_self_reservoir(*dataset_, graph_, cands_, k, true);
  const std::pair<const KnnResult*, double> self_rows[] = {{&by_graph, 0.98}, {&reservoir, 0.93}};
  for (const auto& [r, floor] : self_rows) {
    for (std::uint64_t i = 0; i < kBase; ++i) ASSERT_EQ(r->indices[i * r->stride], i);
    EXPECT_GE(recall(*r, self_kth, base_.data(), *dataset_, 1), floor);
  }
}

}  // namespace
}  // namespace velnor
