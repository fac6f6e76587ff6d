#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <vector>

#include "core/search/locality_copy.hpp"

namespace velnor {
namespace {

// Copy node t is original node expected[t]: same row bits, same neighbour
// list (mapped back), in stored order.
void expect_renumbered(const LocalityCopy& copy, const Dataset& dataset, const Graph& graph,
                       const std::vector<std::uint32_t>& expected) {
  ASSERT_EQ(copy.graph().size(), expected.size());
  const std::uint64_t d = dataset.d();
  for (std::uint32_t t = 0; t < expected.size(); ++t) {
    SCOPED_TRACE(t);
    const std::uint32_t id = copy.original(t);
    EXPECT_EQ(id, expected[t]);
    EXPECT_EQ(copy.local(id), t);
    EXPECT_EQ(std::memcmp(copy.dataset().row(t), dataset.row(id), d * sizeof(float)), 0);
    std::vector<std::uint32_t> mapped;
    for (const std::uint32_t v : copy.graph().neighbors_of(t)) mapped.push_back(copy.original(v));
    const auto original = graph.neighbors_of(id);
    EXPECT_EQ(mapped, std::vector<std::uint32_t>(original.begin(), original.end()));
  }
}

// Seven nodes: 3 is the medoid; 0..4 are one component, 5 and 6 another that
// the medoid cannot reach. Rows are scaled under Cosine, and the copy must
// hold the scaled rows exactly as the dataset stores them.
TEST(LocalityCopy, RenumbersRowsAndListsBreadthFirst) {
  const std::uint64_t n = 7, d = 3;
  std::vector<float> values(n * d);
  std::iota(values.begin(), values.end(), 0.5f);
  const Graph graph =
      Graph::from_adjacency({{1}, {0, 4}, {}, {4, 1, 2}, {3, 1}, {6}, {5}}, 3);
  for (const Metric metric : {Metric::L2, Metric::Cosine}) {
    const Dataset dataset(values, n, d, metric);
    const LocalityCopy copy(dataset, graph);
    EXPECT_EQ(copy.graph().medoid, 0u);
    expect_renumbered(copy, dataset, graph, {3, 4, 1, 2, 0, 5, 6});
  }
}

// A given order renumbers exactly as given; one that misses or repeats a
// node is refused.
TEST(LocalityCopy, FollowsAGivenOrder) {
  const std::uint64_t n = 5, d = 2;
  std::vector<float> values(n * d);
  std::iota(values.begin(), values.end(), 1.0f);
  const Dataset dataset(values, n, d, Metric::L2);
  const Graph graph = Graph::from_adjacency({{1, 2}, {0}, {4, 0}, {}, {2}}, 0);
  const std::vector<std::uint32_t> order{4, 0, 3, 2, 1};
  const LocalityCopy copy(dataset, graph, &order);
  EXPECT_EQ(copy.graph().medoid, 1u);
  expect_renumbered(copy, dataset, graph, order);
  for (const std::vector<std::uint32_t>& bad :
       {std::vector<std::uint32_t>{4, 0, 3, 2}, std::vector<std::uint32_t>{4, 0, 3, 2, 4},
        std::vector<std::uint32_t>{4, 0, 3, 2, 5}}) {
    EXPECT_THROW(LocalityCopy(dataset, graph, &bad), Error);
  }
}

TEST(LocalityCopy, EmptyAndMismatchedInputs) {
  const std::vector<float> none;
  const Dataset empty(none, 0, 4, Metric::L2);
  const LocalityCopy copy(empty, Graph{});
  EXPECT_EQ(copy.graph().size(), 0u);
  EXPECT_EQ(copy.dataset().n(), 0u);

  const std::vector<float> two(2, 1.0f);
  const Dataset dataset(two, 2, 1, Metric::L2);
  EXPECT_THROW(LocalityCopy(dataset, Graph::from_adjacency({{}}, 0)), Error);
  EXPECT_THROW(LocalityCopy(dataset, Graph::from_adjacency({{5}, {}}, 0)), Error);
}

}  // namespace
}  // namespace velnor
