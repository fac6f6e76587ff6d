#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "core/dataset.hpp"
#include "core/error.hpp"
#include "core/hashprune/hyperplanes.hpp"
#include "core/parallel.hpp"
#include "core/rng.hpp"

namespace velnor::hashprune {
namespace {

std::vector<float> random_rows(std::size_t n, std::size_t d, std::uint64_t seed) {
  ChaCha8 rng(seed);
  std::vector<float> x(n * d);
  for (float& v : x) v = rng.uniform_f32() * 4.0f - 2.0f;
  return x;
}

TEST(Hyperplanes, PlaneCountLimit) {
  EXPECT_NO_THROW(Hyperplanes(16, 3, 1));
  try {
    Hyperplanes(17, 3, 1);
    FAIL() << "m = 17 was accepted";
  } catch (const InvalidArgument& e) {
    EXPECT_STREQ(e.what(), "m must be <= 16 (code packs into u16)");
  }
}

TEST(Hyperplanes, ZeroPlanesGiveEmptyTableAndZeroCodes) {
  const auto x = random_rows(5, 3, 2);
  const Dataset ds(x, 5, 3, Metric::L2);
  const Hyperplanes planes(0, 3, 9);
  EXPECT_TRUE(planes.planes().empty());
  const auto table = planes.sketch_all(ds);
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(planes.code(table, 0, 4), 0);
}

TEST(Hyperplanes, PlanesAreBoxMullerFromTheSeedRowMajor) {
  const std::uint64_t m = 3, d = 5;
  const Hyperplanes planes(m, d, 42);
  ChaCha8 rng(42);
  for (std::uint64_t i = 0; i < m * d; ++i) {
    const float u1 = static_cast<float>(rng.next_u32() >> 8) * 0x1p-24f;
    const float u2 = static_cast<float>(rng.next_u32() >> 8) * 0x1p-24f;
    const float expected =
        std::sqrt(-2.0f * std::log(std::max(u1, 1e-9f))) * std::cos(6.2831855f * u2);
    ASSERT_EQ(planes.planes()[i], expected) << i;
  }
  EXPECT_EQ(Hyperplanes(m, d, 42).planes(), planes.planes());
  EXPECT_NE(Hyperplanes(m, d, 43).planes(), planes.planes());
}

// Each projection is the f32 dot product summed in index order, whatever the
// number of workers.
TEST(Hyperplanes, SketchIsTheIndexOrderDotProduct) {
  const std::size_t n = 301, d = 37;
  const auto x = random_rows(n, d, 3);
  const Dataset ds(x, n, d, Metric::L2);
  for (const std::uint64_t m : {1u, 12u, 16u}) {
    const Hyperplanes planes(m, d, 5);
    for (const std::size_t workers : {1u, 3u}) {
      PoolScope pool(Pool::with_threads(workers));
      const auto table = planes.sketch_all(ds);
      ASSERT_EQ(table.size(), n * m);
      for (std::size_t i = 0; i < n; ++i) {
        for (std::uint64_t j = 0; j < m; ++j) {
          float s = 0.0f;
          for (std::size_t k = 0; k < d; ++k) s = s + x[i * d + k] * planes.planes()[j * d + k];
          ASSERT_EQ(table[i * m + j], s) << "row " << i << " plane " << j;
        }
      }
    }
  }
}

// The vectorised code equals the bit-by-bit rule: bit j set when
// P[v][j] - P[u][j] >= 0, clear for a NaN difference.
TEST(Hyperplanes, CodeFollowsTheBitRule) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const std::uint64_t m : {1u, 4u, 7u, 12u, 16u}) {
    const Hyperplanes planes(m, 1, 0);
    ChaCha8 rng(m);
    std::vector<float> table(6 * m);
    for (float& v : table) v = static_cast<float>(rng.bounded(5)) - 2.0f;  // many equal values
    table[5 * m - 1] = nan;
    table[2 * m] = -0.0f;
    table[3 * m] = 0.0f;
    for (std::uint32_t u = 0; u < 6; ++u) {
      for (std::uint32_t v = 0; v < 6; ++v) {
        unsigned expected = 0;
        for (std::uint64_t j = 0; j < m; ++j)
          if (table[v * m + j] - table[u * m + j] >= 0.0f) expected |= 1u << j;
        ASSERT_EQ(planes.code(table, u, v), expected) << "m " << m << " u " << u << " v " << v;
      }
      const unsigned all = (1u << m) - 1;
      if (u != 4) {  // row 4 holds the NaN
        EXPECT_EQ(planes.code(table, u, u), all);
      }
    }
  }
}

}  // namespace
}  // namespace velnor::hashprune
