#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/dataset.hpp"
#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/rng.hpp"
#include "core/search/pivots.hpp"
#include "fashion_mnist.hpp"

namespace velnor {
namespace {

TEST(PivotPlan, StepCountAndSeeds) {
  const struct {
    std::uint64_t n, L, wanted_seeds, step, count, seeds;
  } cases[] = {
      {10000, 64, kMaxSeeds, 25, 400, 16},      // 4*sqrt(n) pivots
      {1000000, 64, kMaxSeeds, 488, 2050, 16},  // capped near 2048
      {60000, 64, kMaxSeeds, 61, 984, 16},
      {10000, 1000, kMaxSeeds, 10, 1000, 16},   // a wide beam asks for more pivots
      {100, 64, kMaxSeeds, 1, 100, 16},         // every row
      {5, 64, kMaxSeeds, 1, 5, 5},              // fewer pivots than seeds: all seed
      {1, 64, kMaxSeeds, 1, 1, 1},
      {0, 64, kMaxSeeds, 1, 0, 0},
      {10000, 64, 4, 25, 400, 4},               // fewer seeds asked for
      {3, 64, 4, 1, 3, 3},
  };
  for (const auto& c : cases) {
    const PivotPlan plan = pivot_plan(c.n, c.L, c.wanted_seeds);
    EXPECT_EQ(plan.step, c.step) << "n=" << c.n << " L=" << c.L;
    EXPECT_EQ(plan.count, c.count) << "n=" << c.n << " L=" << c.L;
    EXPECT_EQ(plan.seeds, c.seeds) << "n=" << c.n << " L=" << c.L;
  }
}

// The seeds must be the pivots of smallest sq_l2, as a scan of every pivot
// finds them, the nearest first: compared as distances, since which of
// several equal pivots is taken is free. Blocks of many queries (a GEMM) and
// of one (a GEMV) must both find them.
void expect_exact_seeds(const Dataset& ds, const std::vector<float>& queries, std::uint64_t L,
                        std::uint64_t wanted_seeds = kMaxSeeds) {
  const std::uint64_t d = ds.d(), n_q = queries.size() / d;
  const PivotPlan plan = pivot_plan(ds.n(), L, wanted_seeds);
  const PivotBlock block = gather_pivots(plan, ds.data(), ds.norms().data(), d);
  PivotSeeds seeds(block);
  for (const std::uint64_t block_rows : {PivotSeeds::kBlock, std::uint64_t{1}}) {
    for (std::uint64_t first = 0; first < n_q; first += block_rows) {
      const std::uint64_t rows = std::min(block_rows, n_q - first);
      seeds.load_block(queries.data() + first * d, rows);
      for (std::uint64_t r = 0; r < rows; ++r) {
        const float* query = queries.data() + (first + r) * d;
        std::vector<float> all, got;
        for (std::uint64_t p = 0; p < plan.count; ++p) {
          all.push_back(sq_l2(query, ds.row(p * plan.step), d));
        }
        std::sort(all.begin(), all.end());
        all.resize(plan.seeds);
        for (const std::uint32_t s : seeds.nearest(query, r)) {
          ASSERT_EQ(s % plan.step, 0u);
          got.push_back(sq_l2(query, ds.row(s), d));
        }
        ASSERT_EQ(got.front(), all.front()) << "the nearest seed comes first";
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got, all) << "query " << first + r << ", blocks of " << block_rows;
      }
    }
  }
}

TEST(PivotSeeds, NearestPivotsOnRealData) {
  VELNOR_LOAD_FASHION_OR_SKIP(rows, 3200);
  const std::vector<float> base(rows.begin(), rows.begin() + 3000 * testdata::kFashionDim);
  const std::vector<float> queries(rows.begin() + 3000 * testdata::kFashionDim, rows.end());
  const Dataset ds(base, 3000, testdata::kFashionDim, Metric::L2);
  expect_exact_seeds(ds, queries, 64);
  expect_exact_seeds(ds, queries, 64, 4);
}

// Rows far from the origin and close to each other: |q|^2 + |x|^2 - 2 q.x
// cancels almost all its digits, so the product alone cannot rank them.
TEST(PivotSeeds, NearestPivotsUnderCancellation) {
  const std::uint64_t n = 4000, d = 40, n_q = 150;
  ChaCha8 rng(3);
  std::vector<float> base(n * d), queries(n_q * d);
  for (float& v : base) v = 3000.0f + static_cast<float>(rng.bounded(3)) * 0.5f;
  for (float& v : queries) v = 3000.0f + static_cast<float>(rng.bounded(5)) * 0.25f;
  const Dataset ds(base, n, d, Metric::L2);
  expect_exact_seeds(ds, queries, 64);
}

TEST(PivotSeeds, NonFiniteQueries) {
  const std::uint64_t n = 1000, d = 8;
  std::vector<float> base(n * d);
  for (std::size_t i = 0; i < base.size(); ++i) base[i] = static_cast<float>(i % 97);
  const Dataset ds(base, n, d, Metric::L2);
  const PivotPlan plan = pivot_plan(n, 64);
  const PivotBlock pivots = gather_pivots(plan, ds.data(), ds.norms().data(), d);
  PivotSeeds seeds(pivots);
  std::vector<float> queries(2 * d, 1.0f);
  queries[3] = std::numeric_limits<float>::infinity();
  queries[d + 5] = std::numeric_limits<float>::quiet_NaN();
  seeds.load_block(queries.data(), 2);
  // An infinite coordinate puts every pivot at infinity: any 16 will do.
  EXPECT_EQ(seeds.nearest(queries.data(), 0).size(), plan.seeds);
  EXPECT_THROW(seeds.nearest(queries.data() + d, 1), Error);
}

}  // namespace
}  // namespace velnor
