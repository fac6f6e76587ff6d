#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/robust_prune.hpp"
#include "core/rng.hpp"
#include "fashion_mnist.hpp"

namespace velnor {
namespace {

// Points on a line (d = 1): row i holds xs[i].
struct Line {
  explicit Line(std::vector<float> xs) : x(std::move(xs)), ds(x, x.size(), 1, Metric::L2) {}
  float sq(std::uint32_t a, std::uint32_t b) const { return sq_l2(ds.row(a), ds.row(b), 1); }
  std::vector<Candidate> cands(std::uint32_t node, std::vector<std::uint32_t> ids) const {
    std::vector<Candidate> out;
    for (const auto id : ids) out.push_back({id, sq(node, id)});
    return out;
  }
  std::vector<float> x;
  Dataset ds;
};

TEST(RobustPrune, EdgeCases) {
  // Node 0 at 0; 1 and 2 both at distance 1 on the same side; 3 opposite.
  const Line line({0.0f, 1.0f, 1.0f, -1.0f, 1.1f, 5.0f});
  const struct {
    const char* what;
    std::vector<Candidate> cands;
    std::uint64_t r;
    float alpha;
    std::vector<std::uint32_t> expected;
  } cases[] = {
      {"r = 0", line.cands(0, {1, 3}), 0, 1.2f, {}},
      {"no candidates", {}, 4, 1.2f, {}},
      {"only the node itself", {{0, 0.0f}}, 4, 1.2f, {}},
      {"equal distances: lower id first, its duplicate pruned (D = 0)", line.cands(0, {2, 1}), 4, 1.2f, {1}},
      {"the node itself is dropped from the list", line.cands(0, {0, 3, 1}), 4, 1.2f, {1, 3}},
      {"a covered candidate is pruned, others kept in distance order", line.cands(0, {5, 4, 3, 1}), 4,
       1.0f, {1, 3}},
      {"everything survives: the r nearest", line.cands(0, {5, 3, 1}), 2, 100.0f, {1, 3}},
  };
  for (const auto& c : cases) {
    auto cands = c.cands;
    const auto kept = robust_prune(line.ds, 0, cands, c.r, c.alpha);
    EXPECT_EQ(kept, c.expected) << c.what;
    EXPECT_GE(kept.capacity(), c.r) << c.what;
  }
}

TEST(RobustPrune, DuplicateAtDistanceZeroIsKept) {
  // Candidate 2 duplicates selected candidate 1, but it is at distance 0 from
  // the node, so 0 > alpha2 * 0 fails and it stays.
  const Line line({0.0f, 0.0f, 0.0f});
  std::vector<Candidate> cands = {{1, 0.0f}, {2, 0.0f}};
  EXPECT_EQ(robust_prune(line.ds, 0, cands, 4, 1.2f), (std::vector<std::uint32_t>{1, 2}));
}

// The test is strict: a candidate whose distance equals alpha2 * D stays.
TEST(RobustPrune, BoundaryDistanceStays) {
  const Line line({0.0f, 1.0f, 2.0f});  // D(1, 2) = 1
  const float alpha = 1.2f, alpha2 = alpha * alpha;
  std::vector<Candidate> at = {{1, 0.5f}, {2, alpha2 * 1.0f}};
  EXPECT_EQ(robust_prune(line.ds, 0, at, 4, alpha), (std::vector<std::uint32_t>{1, 2}));
  std::vector<Candidate> past = {{1, 0.5f}, {2, std::nextafter(alpha2, 10.0f)}};
  EXPECT_EQ(robust_prune(line.ds, 0, past, 4, alpha), (std::vector<std::uint32_t>{1}));
}

TEST(RobustPrune, RefusesNaN) {
  const Line line({0.0f, 1.0f, 2.0f});
  std::vector<Candidate> cands = {{1, 1.0f}, {2, std::numeric_limits<float>::quiet_NaN()}};
  EXPECT_THROW(robust_prune(line.ds, 0, cands, 4, 1.2f), Error);
}

// The textbook loop with a full sq_l2 for every test.
std::vector<std::uint32_t> reference_prune(const Dataset& ds, std::uint32_t node,
                                           std::vector<Candidate> cands, std::uint64_t r,
                                           float alpha) {
  std::stable_sort(cands.begin(), cands.end(), [](const Candidate& a, const Candidate& b) {
    return a.dist < b.dist || (a.dist == b.dist && a.id < b.id);
  });
  std::erase_if(cands, [&](const Candidate& c) { return c.id == node; });
  std::vector<std::uint32_t> kept;
  std::vector<bool> alive(cands.size(), true);
  const float alpha2 = alpha * alpha;
  for (std::size_t i = 0; i < cands.size(); ++i) {
    if (kept.size() == r) break;
    if (!alive[i]) continue;
    kept.push_back(cands[i].id);
    for (std::size_t j = i + 1; j < cands.size(); ++j)
      if (alive[j] && cands[j].dist > alpha2 * sq_l2(ds.row(cands[i].id), ds.row(cands[j].id), ds.d()))
        alive[j] = false;
  }
  return kept;
}

// On real rows the result equals the plain loop bit for bit.
TEST(RobustPrune, MatchesThePlainLoopOnRealData) {
  const std::size_t n = 1500, d = testdata::kFashionDim;
  VELNOR_LOAD_FASHION_OR_SKIP(x, n);
  const Dataset ds(x, n, d, Metric::L2);
  ChaCha8 rng(21);
  for (const float alpha : {1.0f, 1.2f, 2.0f}) {
    for (std::uint32_t node = 0; node < 60; ++node) {
      // The node's 80 nearest rows plus a few random ones, with a stored
      // distance rounded as a reservoir would.
      std::vector<std::pair<float, std::uint32_t>> all;
      for (std::uint32_t j = 0; j < n; ++j) all.push_back({sq_l2(ds.row(node), ds.row(j), d), j});
      std::partial_sort(all.begin(), all.begin() + 80, all.end());
      std::vector<Candidate> cands;
      for (std::size_t t = 0; t < 80; ++t) cands.push_back({all[t].second, all[t].first});
      for (int extra = 0; extra < 5; ++extra) {
        const auto j = static_cast<std::uint32_t>(rng.bounded(n));
        if (std::none_of(cands.begin(), cands.end(), [&](const Candidate& c) { return c.id == j; }))
          cands.push_back({j, sq_l2(ds.row(node), ds.row(j), d)});
      }
      for (auto& c : cands) c.dist = std::ldexp(std::round(std::ldexp(c.dist, -12)), 12);
      auto mutable_cands = cands;
      ASSERT_EQ(robust_prune(ds, node, mutable_cands, 64, alpha), reference_prune(ds, node, cands, 64, alpha))
          << "node " << node << " alpha " << alpha;
    }
  }
}

}  // namespace
}  // namespace velnor
