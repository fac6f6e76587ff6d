#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "core/error.hpp"
#include "core/graph.hpp"

namespace velnor {
namespace {

TEST(Graph, FromAdjacency) {
  const Graph g = Graph::from_adjacency({{1}, {}, {0, 1}}, 2);
  EXPECT_EQ(g.offsets, (std::vector<std::uint64_t>{0, 1, 1, 3}));
  EXPECT_EQ(g.neighbors, (std::vector<std::uint32_t>{1, 0, 1}));
  EXPECT_EQ(g.medoid, 2u);
  const Graph empty = Graph::from_adjacency({}, 0);
  EXPECT_EQ(empty.offsets, (std::vector<std::uint64_t>{0}));
  EXPECT_TRUE(empty.neighbors.empty());
  EXPECT_EQ(empty.size(), 0u);
}

TEST(ApproxMedoid, NearestRowToTheMeanLowestIndexOnTies) {
  EXPECT_EQ(approx_medoid(Dataset({}, 0, 2, Metric::L2)), 0u);
  const std::vector<float> one = {5.0f, 5.0f};
  EXPECT_EQ(approx_medoid(Dataset(one, 1, 2, Metric::L2)), 0u);
  // Mean 0: rows 1 and 2 are equally near; the lower index wins.
  const std::vector<float> tie = {-3.0f, 1.0f, -1.0f, 3.0f};
  EXPECT_EQ(approx_medoid(Dataset(tie, 4, 1, Metric::L2)), 1u);
  const std::vector<float> skew = {0.0f, 1.0f, 2.0f, 10.0f};  // mean 3.25
  EXPECT_EQ(approx_medoid(Dataset(skew, 4, 1, Metric::L2)), 2u);
}

AdjacencyTable table_of(const std::vector<std::vector<std::uint32_t>>& lists, std::uint64_t r) {
  AdjacencyTable t(lists.size(), r);
  for (std::size_t i = 0; i < lists.size(); ++i) {
    std::copy(lists[i].begin(), lists[i].end(), t.ids.begin() + i * r);
    t.degree[i] = static_cast<std::uint32_t>(lists[i].size());
  }
  return t;
}

std::vector<std::vector<std::uint32_t>> lists_of(const AdjacencyTable& t) {
  std::vector<std::vector<std::uint32_t>> out;
  for (std::size_t i = 0; i < t.size(); ++i) out.emplace_back(t.row(i).begin(), t.row(i).end());
  return out;
}

TEST(Symmetrize, MergesReverseEdgesAndCutsToR) {
  // Points on a line: row i at xs[i].
  const std::vector<float> xs = {0.0f, 1.0f, 2.0f, 3.0f, 10.0f, 4.0f};
  const Dataset ds(xs, xs.size(), 1, Metric::L2);
  const struct {
    const char* what;
    std::vector<std::vector<std::uint32_t>> pruned;
    std::uint64_t r;
    std::vector<std::vector<std::uint32_t>> expected;
  } cases[] = {
      {"mutual edges appear once; untouched nodes stay empty",
       {{1}, {0}, {}, {}, {}, {}}, 3, {{1}, {0}, {}, {}, {}, {}}},
      {"reverse edges added, lists of at most r in ascending id order",
       {{3, 1}, {}, {0}, {}, {}, {}}, 3, {{1, 2, 3}, {0}, {0}, {0}, {}, {}}},
      {"exactly r ids survive whole",
       {{5, 4, 3}, {}, {}, {}, {}, {}}, 3, {{3, 4, 5}, {}, {}, {0}, {0}, {0}}},
      {"r + 1 ids lose the farthest",
       {{4, 3, 2}, {0}, {}, {}, {}, {}}, 3, {{1, 2, 3}, {0}, {0}, {0}, {0}, {}}},
      {"self entries are skipped",
       {{0, 1}, {}, {}, {}, {}, {}}, 2, {{1}, {0}, {}, {}, {}, {}}},
  };
  for (const auto& c : cases) {
    auto got = lists_of(symmetrize_flat(table_of(c.pruned, c.r), ds));
    for (auto& l : got) std::sort(l.begin(), l.end());  // cut rows come in selection order
    EXPECT_EQ(got, c.expected) << c.what;
  }
  // A list that needs no cut keeps ascending id order as written.
  const auto uncut = symmetrize_flat(table_of({{5, 4, 3}, {}, {}, {}, {}, {}}, 3), ds);
  EXPECT_EQ(lists_of(uncut)[0], (std::vector<std::uint32_t>{3, 4, 5}));
}

TEST(Symmetrize, SingleNodeAndAssembly) {
  const std::vector<float> one = {1.0f};
  const Dataset ds(one, 1, 1, Metric::L2);
  const AdjacencyTable sym = symmetrize_flat(table_of({{}}, 4), ds);
  const Graph g = assemble_graph(sym, 0);
  EXPECT_EQ(g.offsets, (std::vector<std::uint64_t>{0, 0}));
  EXPECT_TRUE(g.neighbors.empty());
  EXPECT_EQ(g.medoid, 0u);

  const Graph packed = assemble_graph(table_of({{2, 1}, {}, {0}}, 3), 1);
  EXPECT_EQ(packed.offsets, (std::vector<std::uint64_t>{0, 2, 2, 3}));
  EXPECT_EQ(packed.neighbors, (std::vector<std::uint32_t>{2, 1, 0}));
  EXPECT_EQ(packed.medoid, 1u);
}

TEST(Symmetrize, RefusesNaNInACut) {
  const std::vector<float> xs = {0.0f, 1.0f, std::numeric_limits<float>::quiet_NaN(), 3.0f};
  const Dataset ds(xs, 4, 1, Metric::L2);
  EXPECT_THROW(symmetrize_flat(table_of({{1, 2, 3}, {}, {}, {}}, 2), ds), Error);
}

}  // namespace
}  // namespace velnor
