#include <gtest/gtest.h>

#include <cstdint>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/search/search_index.hpp"

namespace velnor {
namespace {

// Node t is original row expected[t]: same row bits and norm, same
// neighbour list (mapped back), in stored order.
void expect_renumbered(const SearchIndex& index, const Dataset& dataset, const Graph& graph,
                       const std::vector<std::uint32_t>& expected) {
  const SearchIndex::Arrays& arrays = index.arrays();
  const SearchView view = index.view();
  ASSERT_EQ(arrays.n, expected.size());
  const std::uint64_t d = dataset.d();
  for (std::uint32_t t = 0; t < expected.size(); ++t) {
    SCOPED_TRACE(t);
    const std::uint32_t id = index.original(t);
    EXPECT_EQ(id, expected[t]);
    EXPECT_EQ(index.node_of(id), t);
    EXPECT_EQ(std::memcmp(view.row(t), dataset.row(id), d * sizeof(float)), 0);
    EXPECT_EQ(arrays.norms[t], dataset.norms()[id]);
    std::vector<std::uint32_t> mapped;
    for (const std::uint32_t v : view.neighbors_of(t)) mapped.push_back(index.original(v));
    const auto original = graph.neighbors_of(id);
    EXPECT_EQ(mapped, std::vector<std::uint32_t>(original.begin(), original.end()));
  }
}

// Seven nodes: 3 is the medoid; 0..4 are one component, 5 and 6 another that
// the medoid cannot reach. Rows are scaled under Cosine, and the index must
// hold the scaled rows exactly as the dataset stores them.
TEST(SearchIndex, RenumbersRowsAndListsBreadthFirst) {
  const std::uint64_t n = 7, d = 3;
  std::vector<float> values(n * d);
  std::iota(values.begin(), values.end(), 0.5f);
  const Graph graph =
      Graph::from_adjacency({{1}, {0, 4}, {}, {4, 1, 2}, {3, 1}, {6}, {5}}, 3);
  EXPECT_EQ(locality_order(graph), (std::vector<std::uint32_t>{3, 4, 1, 2, 0, 5, 6}));
  for (const Metric metric : {Metric::L2, Metric::Cosine}) {
    const Dataset dataset(values, n, d, metric);
    const SearchIndex index(dataset, graph, locality_order(graph));
    EXPECT_EQ(index.arrays().medoid, 0u);
    EXPECT_EQ(index.metric(), metric);
    expect_renumbered(index, dataset, graph, {3, 4, 1, 2, 0, 5, 6});
  }
}

// A given order renumbers exactly as given; one that misses or repeats a
// node is refused.
TEST(SearchIndex, FollowsAGivenOrder) {
  const std::uint64_t n = 5, d = 2;
  std::vector<float> values(n * d);
  std::iota(values.begin(), values.end(), 1.0f);
  const Dataset dataset(values, n, d, Metric::L2);
  const Graph graph = Graph::from_adjacency({{1, 2}, {0}, {4, 0}, {}, {2}}, 0);
  const std::vector<std::uint32_t> order{4, 0, 3, 2, 1};
  const SearchIndex index(dataset, graph, order);
  EXPECT_EQ(index.arrays().medoid, 1u);
  expect_renumbered(index, dataset, graph, order);
  for (const std::vector<std::uint32_t>& bad :
       {std::vector<std::uint32_t>{4, 0, 3, 2}, std::vector<std::uint32_t>{4, 0, 3, 2, 4},
        std::vector<std::uint32_t>{4, 0, 3, 2, 5}}) {
    EXPECT_ANY_THROW(SearchIndex(dataset, graph, bad));
  }
}

TEST(SearchIndex, EmptyAndMismatchedInputs) {
  const std::vector<float> none;
  const Dataset empty(none, 0, 4, Metric::L2);
  const SearchIndex index(empty, Graph{}, {});
  EXPECT_EQ(index.n(), 0u);
  const float query[4] = {};
  EXPECT_THROW(index.query(query, 1, 3, 64), InvalidArgument);

  const std::vector<float> two(2, 1.0f);
  const Dataset dataset(two, 2, 1, Metric::L2);
  const std::vector<std::uint32_t> order{0, 1};
  EXPECT_THROW(SearchIndex(dataset, Graph::from_adjacency({{}}, 0), {order.data(), 1}), Error);
  EXPECT_THROW(SearchIndex(dataset, Graph::from_adjacency({{5}, {}}, 0), order), Error);
}

// 300 points on a spiral with a ring graph (each node linked to the next
// three), queried between them.
struct Spiral {
  static constexpr std::uint64_t n = 300, d = 2;
  Spiral() {
    for (std::uint64_t i = 0; i < n; ++i) {
      const float a = 0.1f * static_cast<float>(i);
      values.push_back(a * std::cos(a));
      values.push_back(a * std::sin(a));
    }
    std::vector<std::vector<std::uint32_t>> lists(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      for (std::uint32_t s = 1; s <= 3; ++s) lists[i].push_back((i + s) % n);
    }
    graph = Graph::from_adjacency(lists, 7);
    for (std::uint64_t i = 0; i + 1 < n; i += 3) {
      queries.push_back(0.5f * (values[2 * i] + values[2 * i + 2]) + 0.01f);
      queries.push_back(0.5f * (values[2 * i + 1] + values[2 * i + 3]));
    }
  }
  std::vector<float> values, queries;
  Graph graph;
};

// An index over another's exported arrays, borrowed and kept alive by an
// owner, answers as the original; without norms it computes the same ones.
TEST(SearchIndex, BorrowsExportedArrays) {
  const Spiral spiral;
  const Dataset dataset(spiral.values, Spiral::n, Spiral::d, Metric::Cosine);
  auto built = std::make_shared<SearchIndex>(dataset, spiral.graph, locality_order(spiral.graph));
  const std::uint64_t n_q = spiral.queries.size() / Spiral::d;
  const KnnResult expected = built->query(spiral.queries, n_q, 5, 8);

  SearchIndex::Arrays arrays = built->arrays();
  const std::vector<float> norms(arrays.norms.begin(), arrays.norms.end());
  arrays.norms = {};
  const SearchIndex borrowed(arrays, std::move(built));  // the only owner now
  EXPECT_EQ(borrowed.metric(), Metric::Cosine);
  EXPECT_EQ(std::vector<float>(borrowed.arrays().norms.begin(), borrowed.arrays().norms.end()),
            norms);
  const KnnResult got = borrowed.query(spiral.queries, n_q, 5, 8);
  EXPECT_EQ(got.indices, expected.indices);
  EXPECT_EQ(got.distances, expected.distances);
}

// Arrays that do not form an index are refused before any search.
TEST(SearchIndex, RefusesInconsistentArrays) {
  const Spiral spiral;
  const Dataset dataset(spiral.values, Spiral::n, Spiral::d, Metric::L2);
  const SearchIndex built(dataset, spiral.graph, locality_order(spiral.graph));
  const SearchIndex::Arrays good = built.arrays();
  std::vector<std::uint64_t> offsets(good.offsets.begin(), good.offsets.end());
  std::vector<std::uint32_t> neighbors(good.neighbors.begin(), good.neighbors.end());
  std::vector<std::uint32_t> order(good.order.begin(), good.order.end());
  std::vector<std::uint64_t> decreasing(good.offsets.begin(), good.offsets.end());
  std::swap(decreasing[10], decreasing[11]);
  std::vector<std::uint64_t> shifted(good.offsets.begin(), good.offsets.end());
  for (std::uint64_t& v : shifted) ++v;
  std::vector<std::uint32_t> far_neighbour(good.neighbors.begin(), good.neighbors.end());
  far_neighbour[17] = Spiral::n;
  std::vector<std::uint32_t> repeated(good.order.begin(), good.order.end());
  repeated[4] = repeated[5];
  using Spoil = std::function<void(SearchIndex::Arrays&)>;
  const std::pair<const char*, Spoil> cases[] = {
      {"rows", [](auto& a) { a.rows = a.rows.first(a.rows.size() - 1); }},
      {"norms", [](auto& a) { a.norms = a.norms.first(3); }},
      {"offset count", [](auto& a) { a.offsets = a.offsets.first(a.n); }},
      {"decreasing offsets", [&](auto& a) { a.offsets = decreasing; }},
      {"offsets not from 0", [&](auto& a) { a.offsets = shifted; }},
      {"neighbour out of range", [&](auto& a) { a.neighbors = far_neighbour; }},
      {"neighbour count", [](auto& a) { a.neighbors = a.neighbors.first(5); }},
      {"order repeats", [&](auto& a) { a.order = repeated; }},
      {"order count", [](auto& a) { a.order = a.order.first(a.n - 1); }},
      {"medoid", [](auto& a) { a.medoid = static_cast<std::uint32_t>(a.n); }},
  };
  for (const auto& [name, spoil] : cases) {
    SCOPED_TRACE(name);
    SearchIndex::Arrays spoilt = good;
    spoil(spoilt);
    EXPECT_THROW(SearchIndex(spoilt, nullptr), InvalidArgument);
  }
  EXPECT_NO_THROW(SearchIndex(good, nullptr));
}

}  // namespace
}  // namespace velnor
