#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/dataset.hpp"
#include "core/hnsw/node_distance.hpp"
#include "core/hnsw/structure.hpp"
#include "core/rng.hpp"

namespace velnor {
namespace {

TEST(HnswLevels, DrawnFromTheSaltedSeedInNodeOrder) {
  const std::uint64_t n = 20000, seed = 42;
  const std::vector<std::uint64_t> levels = draw_levels(n, 16, seed);
  ASSERT_EQ(levels.size(), n);
  // One 64-bit draw per node, from the seed's own stream.
  ChaCha8 rng(seed ^ 0x484E5357);
  for (std::uint64_t i = 0; i < 64; ++i) {
    const double u = std::max(double(rng.next_u64() >> 11) * 0x1.0p-53, 1e-12);
    EXPECT_EQ(levels[i], std::uint64_t(std::floor(-std::log(u) / std::log(16.0)))) << i;
  }
  // A node is above level 0 with probability 1/m.
  std::uint64_t above = 0;
  for (const auto l : levels) above += l > 0;
  EXPECT_NEAR(double(above) / n, 1.0 / 16, 0.01);
  EXPECT_EQ(draw_levels(n, 16, seed), levels);
  EXPECT_NE(draw_levels(n, 16, seed + 1), levels);
  // A prefix does not depend on how many nodes follow.
  const auto shorter = draw_levels(100, 16, seed);
  EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), levels.begin()));
}

TEST(HnswLevels, ExtremeM) {
  EXPECT_EQ(draw_levels(50, 0, 3), std::vector<std::uint64_t>(50, 0));
  EXPECT_EQ(draw_levels(50, 1, 3), std::vector<std::uint64_t>(50, 24));
  for (const auto l : draw_levels(5000, 2, 9)) EXPECT_LE(l, 24u);
  EXPECT_EQ(layer_cap(16, 0), 32u);
  EXPECT_EQ(layer_cap(16, 3), 16u);
  EXPECT_EQ(layer_cap(0, 0), 0u);
}

// Rows in the plane; the selection's diversity test reads distances from them.
struct Plane {
  explicit Plane(std::vector<float> xy) : coords(std::move(xy)), ds(coords, coords.size() / 2, 2, Metric::L2) {}
  std::vector<float> coords;
  Dataset ds;
  ExactDistance dist{ds};
};

TEST(HnswSelectNeighbors, OrderAndDiversityRules) {
  // Candidate distances are given; the diversity test measures the rows:
  //   row 1 sits between row 0 and row 2 on a line;
  //   rows 4 and 5 are 2 apart;
  //   rows 6 and 7 are identical;
  //   the other rows are far from everything that is tested against them.
  const Plane p({0, 0,  1, 0,  3, 0,  100, 0,  101, 1,  102, 0,  500, 0,  500, 0,  0, 900,  1300, 0});
  const struct {
    const char* what;
    std::uint64_t owner;
    std::vector<Candidate> candidates;
    std::uint64_t cap;
    std::vector<std::uint32_t> expected;
  } cases[] = {
      {"equal distances by id", 0, {{5, 1.0f}, {8, 1.0f}, {9, 2.0f}}, 2, {5, 8}},
      {"equal distances by id, input reversed", 0, {{9, 2.0f}, {8, 1.0f}, {5, 1.0f}}, 3, {5, 8, 9}},
      {"owner skipped, not counted", 8, {{8, 0.0f}, {9, 5.0f}, {5, 6.0f}}, 1, {9}},
      {"collinear: the far point is dropped, no refill", 0, {{1, 1.0f}, {2, 9.0f}}, 2, {1}},
      {"as near a kept row as the owner: kept", 3, {{4, 2.0f}, {5, 1.0f}}, 2, {5, 4}},
      {"nearer a kept row than the owner: dropped", 3, {{4, 2.5f}, {5, 1.0f}}, 2, {5}},
      {"duplicate of a kept row is dropped", 0, {{6, 250000.0f}, {7, 250000.0f}, {8, 810000.0f}}, 3, {6, 8}},
      {"duplicate at distance 0 is kept", 6, {{7, 0.0f}, {6, 0.0f}, {5, 158404.0f}}, 3, {7, 5}},
      {"cap 0", 0, {{1, 1.0f}, {5, 2.0f}}, 0, {}},
      {"no candidates", 0, {}, 4, {}},
  };
  for (const auto& c : cases) {
    auto candidates = c.candidates;
    EXPECT_EQ(select_neighbors(p.dist, c.owner, candidates, c.cap), c.expected) << c.what;
  }
}

TEST(HnswSelectNeighbors, LongListsSortStablyByDistanceThenId) {
  // More than 20 candidates take the merge-based sort: same order rules.
  std::vector<float> xy;
  for (int i = 0; i < 40; ++i) xy.insert(xy.end(), {float(i * 1000), 0.0f});
  const Plane p(xy);
  std::vector<Candidate> candidates;
  for (std::uint32_t i = 39; i >= 1; --i) candidates.push_back({i, float(i % 3)});
  auto sorted = candidates;
  sort_candidates(sorted);
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    ASSERT_TRUE(sorted[i - 1].dist < sorted[i].dist ||
                (sorted[i - 1].dist == sorted[i].dist && sorted[i - 1].id < sorted[i].id));
  }
  const auto kept = select_neighbors(p.dist, 0, candidates, 4);
  EXPECT_EQ(kept, (std::vector<std::uint32_t>{3, 6, 9, 12}));
}

TEST(HnswSelectNeighbors, NaNDistanceFails) {
  const Plane p({0, 0, 1, 0});
  std::vector<Candidate> candidates = {{1, std::numeric_limits<float>::quiet_NaN()}};
  EXPECT_THROW(select_neighbors(p.dist, 0, candidates, 2), Error);
  EXPECT_THROW(nearest_candidate(candidates), Error);
}

TEST(HnswNearestCandidate, FirstAmongEqualDistances) {
  const std::vector<Candidate> w = {{9, 2.0f}, {7, 1.0f}, {3, 1.0f}, {1, 4.0f}};
  EXPECT_EQ(nearest_candidate(w), 7u);
}

}  // namespace
}  // namespace velnor
