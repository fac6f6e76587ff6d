#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "core/dataset.hpp"
#include "core/hnsw/sq8.hpp"
#include "core/rng.hpp"

namespace velnor {
namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::uint8_t code_at(const Sq8& sq, std::uint64_t row, std::uint64_t dim) {
  return sq.codes()[row * sq.dim() + dim];
}

TEST(Sq8Train, StepsAndCodesPerDimension) {
  // Columns: 0..1 with a midpoint, a constant column, a column with a NaN,
  // and one with infinities.
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> data = {
      0.0f, 7.0f, 2.0f,  -inf,  //
      1.0f, 7.0f, kNaN,  1.0f,  //
      0.5f, 7.0f, 4.0f,  inf,   //
  };
  const Dataset ds(data, 3, 4, Metric::L2);
  const Sq8 sq(ds);
  ASSERT_EQ(sq.dim(), 4u);
  ASSERT_EQ(sq.codes().size(), 12u);

  const float step01 = 1.0f / 255.0f;
  EXPECT_EQ(sq.scale_sq()[0], step01 * step01);
  EXPECT_EQ(code_at(sq, 0, 0), 0);
  EXPECT_EQ(code_at(sq, 1, 0), 255);  // quotient 254.99998
  EXPECT_EQ(code_at(sq, 2, 0), 127);  // quotient 127.49999, just below the half

  EXPECT_EQ(sq.scale_sq()[1], 1.0f);  // a constant dimension gets step 1 ...
  for (int row = 0; row < 3; ++row) EXPECT_EQ(code_at(sq, row, 1), 0);  // ... and code 0

  const float step24 = 2.0f / 255.0f;  // the NaN moves neither bound
  EXPECT_EQ(sq.scale_sq()[2], step24 * step24);
  EXPECT_EQ(code_at(sq, 0, 2), 0);
  EXPECT_EQ(code_at(sq, 1, 2), 0);  // NaN codes to 0
  EXPECT_EQ(code_at(sq, 2, 2), 255);

  // An infinite range: every quotient is 0 or NaN, so every code is 0.
  for (int row = 0; row < 3; ++row) EXPECT_EQ(code_at(sq, row, 3), 0);
}

TEST(Sq8Train, EmptyShapes) {
  const std::vector<float> none;
  const Dataset no_rows(none, 0, 5, Metric::L2);
  const Sq8 a(no_rows);
  EXPECT_TRUE(a.codes().empty());
  EXPECT_EQ(a.scale_sq(), std::vector<float>(5, 1.0f));

  const Dataset no_dims(none, 4, 0, Metric::L2);
  const Sq8 b(no_dims);
  EXPECT_TRUE(b.codes().empty());
  EXPECT_TRUE(b.scale_sq().empty());
  EXPECT_EQ(b.code_dist(0, 3), 0.0f);
}

// The code distance of rows 0 and 1, summed in the order the quantizer
// promises, from its own codes and weights.
float expected_code_dist(const Sq8& sq) {
  const std::uint64_t d = sq.dim();
  auto term = [&](std::uint64_t t) {
    const float delta = float(code_at(sq, 0, t)) - float(code_at(sq, 1, t));
    return (sq.scale_sq()[t] * delta) * delta;
  };
  float lane[8] = {};
  const std::uint64_t blocked = d / 8 * 8;
  for (std::uint64_t t = 0; t < blocked; ++t) lane[t % 8] = lane[t % 8] + term(t);
  float s = (((lane[0] + lane[1]) + lane[2]) + lane[3]) + (((lane[4] + lane[5]) + lane[6]) + lane[7]);
  for (std::uint64_t t = blocked; t < d; ++t) s = s + term(t);
  return s;
}

// Wrong on purpose: the ninth term folded into lane 0 before the lanes combine.
float tail_in_lane_code_dist(const Sq8& sq) {
  auto term = [&](std::uint64_t t) {
    const float delta = float(code_at(sq, 0, t)) - float(code_at(sq, 1, t));
    return (sq.scale_sq()[t] * delta) * delta;
  };
  float lane[8];
  for (int t = 0; t < 8; ++t) lane[t] = 0.0f + term(t);
  lane[0] = lane[0] + term(8);
  return (((lane[0] + lane[1]) + lane[2]) + lane[3]) + (((lane[4] + lane[5]) + lane[6]) + lane[7]);
}

float sequential_code_dist(const Sq8& sq) {
  float s = 0.0f;
  for (std::uint64_t t = 0; t < sq.dim(); ++t) {
    const float delta = float(code_at(sq, 0, t)) - float(code_at(sq, 1, t));
    s = s + (sq.scale_sq()[t] * delta) * delta;
  }
  return s;
}

TEST(Sq8CodeDist, SummationOrderForThreeEightAndNineDimensions) {
  // Row 0 is all zeros, row 1 spans each dimension's range, so every term is
  // about range^2: one huge term among ones makes the order visible.
  const std::vector<float> ranges = {4096.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 5.0f};
  for (const std::uint64_t d : {3u, 8u, 9u}) {
    std::vector<float> data(2 * d, 0.0f);
    for (std::uint64_t t = 0; t < d; ++t) data[d + t] = ranges[t];
    const Dataset ds(data, 2, d, Metric::L2);
    const Sq8 sq(ds);
    const float expected = expected_code_dist(sq);
    if (d == 3) {
      EXPECT_EQ(expected, sequential_code_dist(sq));
    } else {
      // The fixture tells the lane order from a plain running sum.
      ASSERT_NE(std::bit_cast<std::uint32_t>(expected),
                std::bit_cast<std::uint32_t>(sequential_code_dist(sq)))
          << "d=" << d;
    }
    if (d == 9) {
      ASSERT_NE(std::bit_cast<std::uint32_t>(expected),
                std::bit_cast<std::uint32_t>(tail_in_lane_code_dist(sq)));
    }
    EXPECT_EQ(std::bit_cast<std::uint32_t>(sq.code_dist(0, 1)), std::bit_cast<std::uint32_t>(expected))
        << "d=" << d;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(sq.code_dist_reference(0, 1)),
              std::bit_cast<std::uint32_t>(expected))
        << "d=" << d;
  }
}

TEST(Sq8CodeDist, VectorPathsMatchReferenceAndAreSymmetric) {
  ChaCha8 rng(7);
  for (std::uint64_t d = 1; d <= 41; ++d) {
    const std::uint64_t n = 6;
    std::vector<float> data(n * d);
    // Dimensions of very different scales, so lane sums differ in their bits.
    for (std::uint64_t i = 0; i < n * d; ++i) {
      data[i] = rng.uniform_f32() * std::ldexp(1.0f, static_cast<int>((i % d) % 13));
    }
    const Dataset ds(data, n, d, Metric::L2);
    const Sq8 sq(ds);
    for (std::uint64_t i = 0; i < n; ++i) {
      EXPECT_EQ(sq.code_dist(i, i), 0.0f);
      const std::uint64_t others[4] = {(i + 1) % n, (i + 2) % n, (i + 3) % n, i};
      float batch[4];
      sq.code_dist_x4(i, others, batch);
      for (int r = 0; r < 4; ++r) {
        const float ref = sq.code_dist_reference(i, others[r]);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(sq.code_dist(i, others[r])), std::bit_cast<std::uint32_t>(ref))
            << "d=" << d;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(batch[r]), std::bit_cast<std::uint32_t>(ref)) << "d=" << d;
        EXPECT_EQ(sq.code_dist(others[r], i), sq.code_dist(i, others[r])) << "d=" << d;
      }
    }
  }
}

TEST(Sq8CodeDist, RowOutOfRangeFails) {
  const std::vector<float> data = {1.0f, 2.0f};
  const Dataset ds(data, 2, 1, Metric::L2);
  const Sq8 sq(ds);
  EXPECT_THROW(sq.code_dist(0, 2), Error);
}

}  // namespace
}  // namespace velnor
