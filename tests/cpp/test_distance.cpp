#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "core/distance.hpp"
#include "core/rng.hpp"

namespace velnor {
namespace {

float sq(float a, float b) {
  const float t = a - b;
  return t * t;
}

std::vector<float> random_values(std::size_t len, std::uint64_t seed) {
  ChaCha8 rng(seed);
  std::vector<float> v(len);
  for (auto& x : v) x = rng.uniform_f32() * 200.0f - 100.0f;
  return v;
}

TEST(SqL2, SummationOrder) {
  // Values chosen so that a different grouping changes the f32 result.
  auto a = random_values(40, 1), b = random_values(40, 2);
  // len < 8: the plain left-to-right sum.
  float plain = 0.0f;
  for (int i = 0; i < 7; ++i) plain = plain + sq(a[i], b[i]);
  EXPECT_EQ(sq_l2(a.data(), b.data(), 7), plain);
  // len = 8: the lanes alone, combined pairwise.
  float t[8];
  for (int l = 0; l < 8; ++l) t[l] = sq(a[l], b[l]);
  EXPECT_EQ(sq_l2(a.data(), b.data(), 8),
            (((t[0] + t[1]) + t[2]) + t[3]) + (((t[4] + t[5]) + t[6]) + t[7]));
  // len = 24: the first 16 through A and B, the next 8 through A again.
  for (int l = 0; l < 8; ++l) {
    const float lane_a = sq(a[l], b[l]) + sq(a[16 + l], b[16 + l]);
    t[l] = lane_a + sq(a[8 + l], b[8 + l]);
  }
  EXPECT_EQ(sq_l2(a.data(), b.data(), 24),
            (((t[0] + t[1]) + t[2]) + t[3]) + (((t[4] + t[5]) + t[6]) + t[7]));
  // len = 19: 16 through A and B, then 3 added one by one.
  for (int l = 0; l < 8; ++l) t[l] = sq(a[l], b[l]) + sq(a[8 + l], b[8 + l]);
  float tail = (((t[0] + t[1]) + t[2]) + t[3]) + (((t[4] + t[5]) + t[6]) + t[7]);
  for (int i = 16; i < 19; ++i) tail = tail + sq(a[i], b[i]);
  EXPECT_EQ(sq_l2(a.data(), b.data(), 19), tail);
}

TEST(SqL2, EveryVectorVariantMatchesTheReferenceBitForBit) {
  std::vector<std::size_t> lengths;
  for (std::size_t len = 0; len <= 80; ++len) lengths.push_back(len);
  lengths.push_back(784);
  for (const SqL2Kernel& kernel : sq_l2_kernels()) {
    for (const std::size_t len : lengths) {
      const auto a = random_values(len, 10 + len);
      std::vector<std::vector<float>> rows;
      for (int r = 0; r < 4; ++r) rows.push_back(random_values(len, 1000 + 4 * len + r));
      const float* b[4] = {rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data()};
      float four[4], dispatched[4];
      kernel.four(a.data(), b, len, four);
      sq_l2_x4(a.data(), b, len, dispatched);
      for (int r = 0; r < 4; ++r) {
        const float ref = sq_l2_reference(a.data(), b[r], len);
        ASSERT_EQ(kernel.one(a.data(), b[r], len), ref) << kernel.name << " len " << len;
        ASSERT_EQ(four[r], ref) << kernel.name << " len " << len << " row " << r;
        ASSERT_EQ(sq_l2(a.data(), b[r], len), ref) << "len " << len;
        ASSERT_EQ(dispatched[r], ref) << "len " << len << " row " << r;
      }
    }
  }
}

TEST(SqL2, SelfIsZeroAndArgumentOrderDoesNotMatter) {
  const auto a = random_values(100, 8), b = random_values(100, 9);
  EXPECT_EQ(sq_l2(a.data(), a.data(), 100), 0.0f);
  EXPECT_EQ(sq_l2(a.data(), b.data(), 100), sq_l2(b.data(), a.data(), 100));
}

}  // namespace
}  // namespace velnor
