#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "core/distance.hpp"
#include "core/hashprune/hyperplanes.hpp"
#include "core/hashprune/reservoir.hpp"
#include "core/leaf/gemm.hpp"
#include "core/parallel.hpp"
#include "core/rng.hpp"
#include "fashion_mnist.hpp"

namespace velnor::leaf {
namespace {

// The block matches sq_l2 up to the rounding of the Gram expansion, is
// exactly symmetric, zero on the diagonal and never negative.
TEST(LeafBlock, DistancesOfRealRows) {
  const std::size_t n = 400, d = testdata::kFashionDim;
  VELNOR_LOAD_FASHION_OR_SKIP(x, n);
  const Dataset ds(x, n, d, Metric::L2);
  std::vector<std::uint32_t> leaf(n);
  std::iota(leaf.begin(), leaf.end(), 0u);
  ChaCha8 rng(3);
  rng.shuffle(std::span<std::uint32_t>(leaf));
  const std::size_t s = 300;  // the first s members only
  const std::vector<float> block = leaf_sq_dists(ds, leaf, s);
  ASSERT_EQ(block.size(), s * s);
  for (std::size_t i = 0; i < s; ++i) {
    EXPECT_EQ(block[i * s + i], 0.0f);
    for (std::size_t j = 0; j < s; ++j) {
      ASSERT_EQ(block[i * s + j], block[j * s + i]);
      ASSERT_GE(block[i * s + j], 0.0f);
      const float exact = sq_l2(ds.row(leaf[i]), ds.row(leaf[j]), d);
      // |x|^2 of these rows is up to ~1e7: allow rounding relative to the norms.
      const float scale = ds.norms()[leaf[i]] + ds.norms()[leaf[j]];
      ASSERT_NEAR(block[i * s + j], exact, 1e-5f * scale) << i << "," << j;
    }
  }
}

// Duplicates: far from the origin the expansion cancels badly, yet the block
// holds 0 or a small residue for equal rows, never a negative value.
TEST(LeafBlock, DuplicatesAreNeverNegative) {
  const std::size_t pairs = 40, d = 50;
  std::vector<float> x(2 * pairs * d);
  ChaCha8 rng(8);
  for (std::size_t p = 0; p < pairs; ++p) {
    for (std::size_t k = 0; k < d; ++k) {
      x[2 * p * d + k] = 1000.0f + 10.0f * rng.uniform_f32();
      x[(2 * p + 1) * d + k] = x[2 * p * d + k];  // row 2p + 1 equals row 2p
    }
  }
  const Dataset ds(x, 2 * pairs, d, Metric::L2);
  std::vector<std::uint32_t> leaf(2 * pairs);
  std::iota(leaf.begin(), leaf.end(), 0u);
  leaf.push_back(0);  // an id repeated in the leaf
  const std::size_t s = leaf.size();
  const auto block = leaf_sq_dists(ds, leaf, s);
  for (const float v : block) ASSERT_GE(v, 0.0f);
  for (std::size_t p = 0; p < pairs; ++p) EXPECT_LE(block[2 * p * s + 2 * p + 1], 64.0f) << p;
  EXPECT_LE(block[s - 1], 64.0f);
}

struct LeafFixture {
  LeafFixture(std::vector<float> rows, std::size_t n, std::size_t d, std::uint64_t m)
      : x(std::move(rows)), ds(x, n, d, Metric::L2), planes(m, d, 4), table(planes.sketch_all(ds)) {}

  // Every reservoir's read-out after offering the given leaves.
  std::vector<std::vector<Candidate>> offer(const std::vector<std::vector<std::uint32_t>>& leaves,
                                            std::uint64_t l_max) {
    hashprune::NodeReservoirs reservoirs(ds.n(), l_max);
    LeafScratch scratch;
    for (const auto& leaf : leaves) insert_leaf_edges(ds, leaf, l_max, table, planes, reservoirs, scratch);
    std::vector<std::vector<Candidate>> out;
    for (auto& r : reservoirs.reservoirs) out.push_back(r.into_sorted());
    return out;
  }

  std::vector<float> x;
  Dataset ds;
  hashprune::Hyperplanes planes;
  std::vector<float> table;
};

std::vector<float> random_rows(std::size_t n, std::size_t d, std::uint64_t seed) {
  ChaCha8 rng(seed);
  std::vector<float> x(n * d);
  for (float& v : x) v = rng.uniform_f32();
  return x;
}

TEST(LeafEdges, SmallLeavesAndZeroNeighbours) {
  LeafFixture f(random_rows(6, 5, 1), 6, 5, 16);
  const float d01 = leaf_sq_dists(f.ds, std::vector<std::uint32_t>{0, 1}, 2)[1];
  const struct {
    const char* what;
    std::vector<std::vector<std::uint32_t>> leaves;
    std::uint64_t l_max;
    std::vector<std::size_t> fill;  // reservoir sizes of points 0..5
  } cases[] = {
      {"empty and single-point leaves add nothing", {{}, {3}}, 8, {0, 0, 0, 0, 0, 0}},
      {"a two-point leaf: each offers the other", {{0, 1}}, 8, {1, 1, 0, 0, 0, 0}},
      {"l_max 0 offers nothing", {{0, 1, 2, 3}}, 0, {0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    const auto got = f.offer(c.leaves, c.l_max);
    for (std::size_t p = 0; p < 6; ++p) EXPECT_EQ(got[p].size(), c.fill[p]) << c.what << ", point " << p;
  }
  const auto pair = f.offer({{0, 1}}, 8);
  EXPECT_EQ(pair[0][0].id, 1u);
  EXPECT_EQ(pair[1][0].id, 0u);
  EXPECT_EQ(pair[0][0].dist, hashprune::from_bfloat16(hashprune::to_bfloat16(d01)));
  EXPECT_EQ(pair[1][0].dist, pair[0][0].dist);
}

// Each member offers exactly its min(s - 1, l_max) nearest leaf-mates by block
// distance: the reservoirs equal those fed from a full sort of each block row.
// Leaf sizes around l_max exercise both selection paths.
TEST(LeafEdges, OffersEachMembersNearestLeafMates) {
  const std::size_t n = 700, d = testdata::kFashionDim;
  VELNOR_LOAD_FASHION_OR_SKIP(x, n);
  LeafFixture f(std::move(x), n, d, 12);
  ChaCha8 rng(5);
  for (const auto& [s, l_max] : std::vector<std::pair<std::size_t, std::uint64_t>>{
           {10, 64}, {65, 64}, {70, 64}, {130, 64}, {600, 16}, {700, 64}}) {
    std::vector<std::uint32_t> leaf(n);
    std::iota(leaf.begin(), leaf.end(), 0u);
    rng.shuffle(std::span<std::uint32_t>(leaf));
    leaf.resize(s);
    const auto got = f.offer({leaf}, l_max);

    const auto block = leaf_sq_dists(f.ds, leaf, s);
    const std::uint64_t k = std::min<std::uint64_t>(s - 1, l_max);
    hashprune::NodeReservoirs expected(n, l_max);
    for (std::size_t i = 0; i < s; ++i) {
      std::vector<std::pair<float, std::uint32_t>> row;
      for (std::size_t j = 0; j < s; ++j)
        if (j != i) row.push_back({block[i * s + j], leaf[j]});
      std::sort(row.begin(), row.end());
      // Ties at the k-th distance may be broken either way: skip such rows.
      if (k < row.size() && row[k - 1].first == row[k].first) continue;
      for (std::uint64_t t = 0; t < k; ++t)
        expected.reservoirs[leaf[i]].insert(row[t].second, f.planes.code(f.table, leaf[i], row[t].second),
                                            row[t].first);
      ASSERT_EQ(got[leaf[i]], expected.reservoirs[leaf[i]].into_sorted())
          << "leaf size " << s << ", member " << i;
    }
  }
}

}  // namespace
}  // namespace velnor::leaf
