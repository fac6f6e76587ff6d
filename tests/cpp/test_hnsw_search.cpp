#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "core/dataset.hpp"
#include "core/hnsw/node_distance.hpp"
#include "core/hnsw/search_layer.hpp"
#include "core/rng.hpp"

namespace velnor {
namespace {

using Lists = std::vector<std::vector<std::vector<std::uint32_t>>>;

// Points on a line; row q is the query.
struct Line {
  explicit Line(std::vector<float> xs) : coords(std::move(xs)), ds(coords, coords.size(), 1, Metric::L2) {}
  std::vector<float> coords;
  Dataset ds;
  ExactDistance dist{ds};
};

std::vector<Candidate> search(const Line& line, const Hnsw& g, std::uint64_t q, std::uint32_t entry,
                              std::uint64_t ef, std::uint64_t layer = 0) {
  VisitedMarks marks(g.size());
  return search_layer(line.dist, q, entry, ef, layer, g, marks);
}

std::vector<std::uint32_t> sorted_ids(const std::vector<Candidate>& w) {
  std::vector<std::uint32_t> ids;
  for (const auto& c : w) ids.push_back(c.id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

TEST(HnswElementHeap, SiftsLikeTheStandardHeap) {
  // libstdc++'s push_heap/pop_heap use the same mechanics (append and sift
  // up; last to root, down to the bottom along the greater child, the right
  // one on ties, then up), so their array order is the oracle. Many equal
  // elements exercise the tie rules.
  ChaCha8 rng(1);
  ElementHeap<false> max_heap;
  ElementHeap<true> min_heap;
  std::vector<SearchElement> max_ref, min_ref;
  auto less = [](const SearchElement& a, const SearchElement& b) { return element_less(a, b); };
  auto greater = [](const SearchElement& a, const SearchElement& b) { return element_less(b, a); };
  auto same = [](const std::vector<SearchElement>& a, const std::vector<SearchElement>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](auto& x, auto& y) {
             return x.dist == y.dist && x.id == y.id;
           });
  };
  for (int step = 0; step < 5000; ++step) {
    if (max_ref.empty() || rng.bounded(3) != 0) {
      const SearchElement e{float(rng.bounded(4)), std::uint32_t(rng.bounded(3))};
      max_heap.push(e);
      max_ref.push_back(e);
      std::push_heap(max_ref.begin(), max_ref.end(), less);
      min_heap.push(e);
      min_ref.push_back(e);
      std::push_heap(min_ref.begin(), min_ref.end(), greater);
    } else {
      const SearchElement top = max_heap.pop();
      std::pop_heap(max_ref.begin(), max_ref.end(), less);
      EXPECT_TRUE(top.dist == max_ref.back().dist && top.id == max_ref.back().id);
      max_ref.pop_back();
      min_heap.pop();
      std::pop_heap(min_ref.begin(), min_ref.end(), greater);
      min_ref.pop_back();
    }
    ASSERT_TRUE(same(max_heap.items(), max_ref)) << "step " << step;
    ASSERT_TRUE(same(min_heap.items(), min_ref)) << "step " << step;
  }
}

TEST(HnswElementHeap, OrdersDistancesByBitPattern) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_TRUE(element_less({1.0f, 9}, {2.0f, 0}));
  EXPECT_TRUE(element_less({1.0f, 3}, {1.0f, 4}));
  EXPECT_TRUE(element_less({inf, 0}, {nan, 0}));
}

TEST(HnswSearchLayer, SmallGraphs) {
  // Row 0 is the query at 0. Row 1 at 1 is the entry; row 2 at -1 is as far
  // as the entry, row 3 at -0.5 is reachable only through row 2.
  const Line line({0.0f, 1.0f, -1.0f, -0.5f, 5.0f});
  const Hnsw single = Hnsw::from_lists({{{}}}, 0, 0);
  EXPECT_EQ(search(line, single, 0, 0, 10), (std::vector<Candidate>{{0, 0.0f}}));

  const Hnsw no_edges = Hnsw::from_lists({{{}}, {{}}, {{}}, {{}}, {{}}}, 1, 0);
  for (const std::uint64_t ef : {0u, 1u, 7u}) {
    EXPECT_EQ(search(line, no_edges, 0, 1, ef), (std::vector<Candidate>{{1, 1.0f}})) << ef;
  }

  // A neighbour as far as the top of a full result set is not admitted, so
  // row 3 behind it is never reached.
  const Hnsw tie = Hnsw::from_lists({{{}}, {{2}}, {{3}}, {{}}, {{}}}, 1, 0);
  EXPECT_EQ(search(line, tie, 0, 1, 1), (std::vector<Candidate>{{1, 1.0f}}));
  EXPECT_EQ(search(line, tie, 0, 1, 0), (std::vector<Candidate>{{1, 1.0f}}));
  // With room for two it is admitted and the walk goes on to row 3; then the
  // set overflows and, of the two at distance 1, the larger id leaves.
  EXPECT_EQ(sorted_ids(search(line, tie, 0, 1, 2)), (std::vector<std::uint32_t>{1, 3}));

  // ef beyond the reachable nodes returns them all (row 4 is unreachable;
  // the query row itself is reachable and found at distance 0).
  const Hnsw ring = Hnsw::from_lists({{{1}}, {{2}}, {{3}}, {{0}}, {{0}}}, 1, 0);
  const auto all = search(line, ring, 0, 1, 50);
  EXPECT_EQ(sorted_ids(all), (std::vector<std::uint32_t>{0, 1, 2, 3}));
  EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const Candidate& c) { return c.id == 0 && c.dist == 0.0f; }));
}

TEST(HnswSearchLayer, FollowsOnlyTheRequestedLayer) {
  // Row 1 lives on layers 0 and 1; on layer 1 it links to row 2 only, on
  // layer 0 to row 3 only.
  const Line line({0.0f, 4.0f, 3.0f, 2.0f});
  const Hnsw g = Hnsw::from_lists({{{}}, {{3}, {2}}, {{}, {1}}, {{}}}, 1, 1);
  EXPECT_EQ(sorted_ids(search(line, g, 0, 1, 5, 1)), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(sorted_ids(search(line, g, 0, 1, 5, 0)), (std::vector<std::uint32_t>{1, 3}));
  // Row 3 does not live on layer 1.
  EXPECT_THROW(search(line, g, 0, 3, 5, 1), Error);
}

// A random graph over 300 points of the line, each linked to 6 random others.
Lists random_lists(std::uint32_t n, std::uint64_t seed) {
  ChaCha8 rng(seed);
  Lists links(n, std::vector<std::vector<std::uint32_t>>(1));
  for (std::uint32_t i = 0; i < n; ++i) {
    while (links[i][0].size() < 6) {
      const auto j = std::uint32_t(rng.bounded(n));
      if (j != i && std::find(links[i][0].begin(), links[i][0].end(), j) == links[i][0].end()) {
        links[i][0].push_back(j);
      }
    }
  }
  return links;
}

std::vector<float> random_line(std::uint32_t n) {
  ChaCha8 rng(5);
  std::vector<float> xs(n);
  for (auto& x : xs) x = rng.uniform_f32() * 100.0f;
  return xs;
}

TEST(HnswSearchLayer, BuildingListsGiveTheFrozenResult) {
  const std::uint32_t n = 300;
  const Line line(random_line(n));
  const Lists links = random_lists(n, 2);
  const Hnsw frozen = Hnsw::from_lists(links, 0, 0);
  BuildLinks building(std::vector<std::uint64_t>(n, 0));
  for (std::uint32_t i = 0; i < n; ++i) building.replace(i, 0, links[i][0]);
  VisitedMarks a(n), b(n);
  for (std::uint64_t q = 0; q < n; q += 7) {
    const auto wa = search_layer(line.dist, q, 0, 10, 0, frozen, a);
    const auto wb = search_layer(line.dist, q, 0, 10, 0, building, b);
    ASSERT_EQ(wa, wb) << q;
    ASSERT_EQ(wa.size(), 10u);
  }
}

TEST(HnswVisitedMarks, GenerationWrapClearsAndSkipsZero) {
  VisitedMarks marks(4, std::numeric_limits<std::uint32_t>::max() - 1);
  marks.next_search();
  EXPECT_EQ(marks.generation(), std::numeric_limits<std::uint32_t>::max());
  EXPECT_TRUE(marks.mark(1));
  EXPECT_FALSE(marks.mark(1));
  marks.next_search();  // wraps: clear, then generation 1
  EXPECT_EQ(marks.generation(), 1u);
  EXPECT_FALSE(marks.visited(1));
  EXPECT_FALSE(marks.visited(0));  // a fresh mark of 0 must not count as visited
  EXPECT_TRUE(marks.mark(1));
  EXPECT_THROW(marks.mark(4), Error);
}

TEST(HnswVisitedMarks, SearchesAcrossTheWrapMatchFreshMarks) {
  const std::uint32_t n = 300;
  const Line line(random_line(n));
  const Hnsw g = Hnsw::from_lists(random_lists(n, 3), 0, 0);
  VisitedMarks near_wrap(n, std::numeric_limits<std::uint32_t>::max() - 2);
  for (std::uint64_t q = 10; q < 16; ++q) {
    EXPECT_EQ(search_layer(line.dist, q, 0, 8, 0, g, near_wrap), search(line, g, q, 0, 8))
        << "search " << q - 10;
  }
  EXPECT_EQ(near_wrap.generation(), 4u);
}

TEST(HnswSearchLayer, IdsBeyondTheMarksFail) {
  const Line line({0.0f, 1.0f});
  const Hnsw g = Hnsw::from_lists({{{1}}, {{0}}}, 0, 0);
  VisitedMarks small(1);
  try {
    search_layer(line.dist, 0, 0, 4, 0, g, small);
    FAIL() << "expected an error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "HNSW node 1 out of range (length 1)");
  }
}

}  // namespace
}  // namespace velnor
