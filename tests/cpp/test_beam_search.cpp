#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/rng.hpp"
#include "core/search/beam_search.hpp"

namespace velnor {
namespace {

using Lists = std::vector<std::vector<std::uint32_t>>;

// A dataset over its own buffer (an L2 dataset borrows it).
struct Points {
  Points(std::vector<float> v, std::uint64_t d)
      : values(std::move(v)), dataset(values, values.size() / d, d, Metric::L2) {}
  std::vector<float> values;
  Dataset dataset;
};

std::vector<std::uint32_t> ids_of(const std::vector<Candidate>& result) {
  std::vector<std::uint32_t> ids;
  for (const Candidate& c : result) ids.push_back(c.id);
  return ids;
}

// Points on a line, the query at 0, so node i lies at squared distance x_i^2.
TEST(BeamSearch, WalkAndTieRules) {
  const struct {
    const char* name;
    std::vector<float> x;
    Lists adjacency;
    std::vector<std::uint32_t> seeds;
    std::uint64_t L;
    std::vector<std::uint32_t> expected;
  } cases[] = {
      {"no seeds", {1, 2}, {{1}, {0}}, {}, 4, {}},
      {"zero width", {1, 2}, {{1}, {0}}, {0}, 0, {}},
      {"repeated seed counts once", {0, 0, 0, 0, 0, 2, 0, 1}, Lists(8), {5, 5, 7}, 4, {7, 5}},
      {"equal seeds keep seed order", {0, 0, -1, 0, 1}, Lists(5), {4, 2}, 4, {4, 2}},
      {"equal seeds keep seed order, reversed", {0, 0, -1, 0, 1}, Lists(5), {2, 4}, 4, {2, 4}},
      {"seeds beyond the width are dropped", {3, 1, 2}, Lists(3), {0, 1, 2}, 2, {1, 2}},
      // 0 -> 1 leads into a local minimum; only a wider beam keeps 2 and
      // reaches 3 behind it. The insertion of 1 ahead of the expanded seed
      // makes the search continue from the head of the list.
      {"width 1 stops at the local minimum", {10, 8, 20, 0}, {{1, 2}, {0}, {3}, {}}, {0}, 1, {1}},
      {"width 2", {10, 8, 20, 0}, {{1, 2}, {0}, {3}, {}}, {0}, 2, {1, 0}},
      {"width 3 escapes", {10, 8, 20, 0}, {{1, 2}, {0}, {3}, {}}, {0}, 3, {3, 1, 0}},
      // Nodes 3 and 2 tie at 4. In a full list a neighbour equal to the worst
      // entry is turned away; otherwise it goes after the earlier equal one.
      {"tie with the worst of a full list is rejected", {1, 3, -2, 2}, {{1, 3, 2}, {}, {}, {}},
       {0}, 2, {0, 3}},
      {"equal distances keep insertion order", {1, 3, -2, 2}, {{1, 3, 2}, {}, {}, {}}, {0}, 3,
       {0, 3, 2}},
      {"a wide beam returns every reachable node", {4, 3, 2, 1, 5}, {{1}, {2}, {3}, {}, {0}}, {0},
       100, {3, 2, 1, 0}},
  };
  const float query = 0.0f;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Points points(c.x, 1);
    const Graph graph = Graph::from_adjacency(c.adjacency, 0);
    Scratch scratch(points.dataset.n());
    const std::vector<Candidate> result =
        beam_search(points.dataset, graph, c.seeds, &query, c.L, scratch);
    EXPECT_EQ(ids_of(result), c.expected);
    for (const Candidate& r : result) EXPECT_EQ(r.dist, c.x[r.id] * c.x[r.id]);
  }
}

// The search read literally, step by step: a linear scan from the head for
// the first unexpanded entry, a linear search for the insertion point.
std::vector<Candidate> literal_search(const Dataset& ds, const Graph& graph,
                                      const std::vector<std::uint32_t>& seeds, const float* query,
                                      std::uint64_t L) {
  const std::uint64_t n = ds.n();
  std::vector<bool> in_list(n), expanded(n);
  std::vector<Candidate> list;
  for (const std::uint32_t s : seeds) {
    if (in_list[s]) continue;
    list.push_back({s, sq_l2(query, ds.row(s), ds.d())});
    in_list[s] = true;
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const Candidate& a, const Candidate& b) { return a.dist < b.dist; });
  while (list.size() > L) {
    in_list[list.back().id] = false;
    list.pop_back();
  }
  for (;;) {
    std::size_t i = 0;
    while (i < list.size() && expanded[list[i].id]) ++i;
    if (i == list.size()) break;
    const std::uint32_t node = list[i].id;
    expanded[node] = true;
    for (const std::uint32_t v : graph.neighbors_of(node)) {
      if (in_list[v]) continue;
      const float d = sq_l2(query, ds.row(v), ds.d());
      if (list.size() == L && !(d < list.back().dist)) continue;
      std::size_t pos = 0;
      while (pos < list.size() && list[pos].dist <= d) ++pos;
      list.insert(list.begin() + static_cast<std::ptrdiff_t>(pos), {v, d});
      in_list[v] = true;
      if (list.size() > L) {
        in_list[list.back().id] = false;
        list.pop_back();
      }
    }
  }
  return list;
}

// Small integer grids give many equal distances, so every tie rule, eviction
// and restart is exercised; one scratch serves all queries in turn. Lists may
// repeat an id, which the build never produces but the search must survive.
TEST(BeamSearch, MatchesLiteralReadingOnRandomGraphs) {
  ChaCha8 rng(7);
  for (const std::uint64_t d : {std::uint64_t{2}, std::uint64_t{19}}) {
    const std::uint64_t n = 80;
    std::vector<float> values(n * d);
    for (float& v : values) v = static_cast<float>(rng.bounded(4));
    Points points(values, d);
    Lists lists(n);
    for (auto& list : lists) {
      const std::uint64_t degree = rng.bounded(9);
      for (std::uint64_t e = 0; e < degree; ++e) list.push_back(rng.bounded(n));
    }
    const Graph graph = Graph::from_adjacency(lists, 0);
    Scratch scratch(n);
    for (int q = 0; q < 200; ++q) {
      std::vector<float> query(d);
      for (float& v : query) v = static_cast<float>(rng.bounded(4));
      std::vector<std::uint32_t> seeds(rng.bounded(q % 4 == 0 ? 60 : 5));
      for (auto& s : seeds) s = static_cast<std::uint32_t>(rng.bounded(n));
      const std::uint64_t L = 1 + rng.bounded(q % 3 == 0 ? 100 : 10);
      SCOPED_TRACE(::testing::Message() << "d=" << d << " query " << q << " L=" << L);
      const auto got = beam_search(points.dataset, graph, seeds, query.data(), L, scratch);
      ASSERT_EQ(got, literal_search(points.dataset, graph, seeds, query.data(), L));
    }
  }
}

// A scratch that served earlier queries, failed ones included, answers as a
// fresh one does.
TEST(BeamSearch, FailuresLeaveScratchUsable) {
  Points points({0, 1, 2, 3}, 1);
  const Graph graph = Graph::from_adjacency({{1}, {2}, {3}, {}}, 0);
  Scratch scratch(4);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float query = 0.0f;
  const std::uint32_t seed0[] = {0}, bad_seed[] = {0, 9};
  Points with_nan({0, nan, 2, 3}, 1);
  const Graph out_of_range = Graph::from_adjacency({{7}, {}, {}, {}}, 0);

  EXPECT_THROW(beam_search(points.dataset, graph, seed0, &nan, 4, scratch), Error);
  EXPECT_THROW(beam_search(points.dataset, graph, bad_seed, &nan, 4, scratch), Error);
  // A neighbour at a NaN distance (a NaN row) cannot be ranked either.
  EXPECT_THROW(beam_search(with_nan.dataset, graph, seed0, &query, 4, scratch), Error);
  EXPECT_THROW(beam_search(points.dataset, out_of_range, seed0, &query, 4, scratch), Error);
  const std::vector<Candidate> after =
      beam_search(points.dataset, graph, seed0, &query, 4, scratch);
  EXPECT_EQ(ids_of(after), (std::vector<std::uint32_t>{0, 1, 2, 3}));
}

// The marks of one scratch are stamped per query and cleared when the stamps
// run out (after some 16,000 queries): across many more, every answer must
// still be a fresh scratch's.
TEST(BeamSearch, ScratchServesManyQueries) {
  const std::uint64_t n = 12;
  std::vector<float> x(n);
  for (std::uint64_t i = 0; i < n; ++i) x[i] = static_cast<float>(i * i % 7);
  Points points(x, 1);
  Lists ring(n);
  for (std::uint32_t i = 0; i < n; ++i) ring[i] = {(i + 1) % 12, (i + 5) % 12};
  const Graph graph = Graph::from_adjacency(ring, 0);
  Scratch reused(n);
  for (std::uint32_t q = 0; q < 40000; ++q) {
    const float query = static_cast<float>(q % 13) * 0.5f;
    const std::uint32_t seeds[] = {q % 12};
    const std::uint64_t L = 1 + q % 5;
    Scratch fresh(n);
    const auto got = beam_search(points.dataset, graph, seeds, &query, L, reused);
    ASSERT_EQ(got, beam_search(points.dataset, graph, seeds, &query, L, fresh)) << "query " << q;
  }
}

}  // namespace
}  // namespace velnor
