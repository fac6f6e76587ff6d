#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "core/error.hpp"
#include "core/hashprune/reservoir.hpp"
#include "core/rng.hpp"

namespace velnor::hashprune {
namespace {

float f32(std::uint32_t bits) { return std::bit_cast<float>(bits); }

TEST(Bfloat16, RoundsToNearestEvenAndKeepsNaN) {
  const struct {
    std::uint32_t in;
    std::uint16_t out;
  } cases[] = {
      {0x3F800000, 0x3F80},  // 1.0 exactly
      {0x3F808000, 0x3F80},  // halfway, even stays
      {0x3F818000, 0x3F82},  // halfway, odd rounds up to even
      {0x3F808001, 0x3F81},  // above halfway
      {0x3F807FFF, 0x3F80},  // below halfway
      {0x00000000, 0x0000},
      {0x80000000, 0x8000},
      {0x7F800000, 0x7F80},  // infinity
      {0x7F7FFFFF, 0x7F80},  // the largest float rounds up to infinity
      {0x7FC00000, 0x7FC0},  // quiet NaN
      {0x7F800001, 0x7FC0},  // signalling NaN stays a NaN
      {0xFF812345, 0xFFC1},
  };
  for (const auto& c : cases) EXPECT_EQ(to_bfloat16(f32(c.in)), c.out) << std::hex << c.in;

  EXPECT_EQ(std::bit_cast<std::uint32_t>(from_bfloat16(0x3F81)), 0x3F810000u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(from_bfloat16(0x7F81)), 0x7FC10000u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(from_bfloat16(0x7F80)), 0x7F800000u);
}

TEST(Reservoir, EntriesAreEightBytesReservedUpFront) {
  static_assert(sizeof(Entry) == 8);
  const Reservoir r(64);
  EXPECT_EQ(r.size(), 0u);
  EXPECT_GE(r.entries().capacity(), 64u);
}

struct Offer {
  std::uint32_t id;
  std::uint16_t code;
  float dist;
};

std::vector<Candidate> fill(std::uint64_t l_max, const std::vector<Offer>& offers) {
  Reservoir r(l_max);
  for (const auto& o : offers) r.insert(o.id, o.code, o.dist);
  return r.into_sorted();
}

TEST(Reservoir, KeepsTheBestOfferPerCodeAndTheBestCodes) {
  const struct {
    const char* what;
    std::uint64_t l_max;
    std::vector<Offer> offers;
    std::vector<Candidate> expected;
  } cases[] = {
      {"same id twice keeps the smaller distance", 4, {{7, 1, 3.0f}, {7, 1, 2.0f}, {7, 1, 5.0f}},
       {{7, 2.0f}}},
      {"same code: the nearer id stays", 4, {{1, 3, 4.0f}, {2, 3, 2.0f}}, {{2, 2.0f}}},
      // 1.0 and 1.001 round to the same bfloat16: equal, so the smaller id stays.
      {"same code, equal after rounding: smaller id", 4, {{9, 3, 1.0f}, {4, 3, 1.001f}, {6, 3, 1.0f}},
       {{4, 1.0f}}},
      {"full, new code at the worst distance: larger id dropped", 2,
       {{5, 1, 1.0f}, {7, 2, 2.0f}, {9, 3, 2.0f}}, {{5, 1.0f}, {7, 2.0f}}},
      {"full, new code at the worst distance: smaller id replaces", 2,
       {{5, 1, 1.0f}, {7, 2, 2.0f}, {3, 4, 2.0f}}, {{5, 1.0f}, {3, 2.0f}}},
      {"full, worst tie broken by the larger id", 2,
       {{8, 1, 2.0f}, {6, 2, 2.0f}, {1, 3, 2.0f}}, {{1, 2.0f}, {6, 2.0f}}},
      {"l_max 1 keeps the single best over all codes", 1,
       {{3, 1, 5.0f}, {4, 2, 1.0f}, {5, 3, 3.0f}, {2, 4, 1.0f}}, {{2, 1.0f}}},
      {"all codes equal keep the single best", 8, {{3, 0, 5.0f}, {4, 0, 1.5f}, {5, 0, 3.0f}},
       {{4, 1.5f}}},
      {"l_max 0 takes nothing", 0, {{1, 1, 1.0f}, {2, 2, 2.0f}}, {}},
      {"read-out ascending, ties by id, at bfloat16 precision", 8,
       {{9, 1, 3.3f}, {2, 2, 1.0f}, {5, 3, 3.3f}, {1, 4, 0.5f}},
       {{1, 0.5f}, {2, 1.0f}, {5, from_bfloat16(to_bfloat16(3.3f))}, {9, from_bfloat16(to_bfloat16(3.3f))}}},
  };
  for (const auto& c : cases) EXPECT_EQ(fill(c.l_max, c.offers), c.expected) << c.what;
}

// The contents depend only on the set of offers, whatever their order, when
// each id always comes with the same code (as in the build).
TEST(Reservoir, SameContentsForEveryOrderOfOffers) {
  ChaCha8 rng(11);
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<Offer> offers;
    for (std::uint32_t id = 0; id < 40; ++id) {
      const auto code = static_cast<std::uint16_t>(rng.bounded(12));  // codes collide often
      for (int again = 0; again < 2; ++again)  // some ids offered twice, different distances
        offers.push_back({id, code, static_cast<float>(rng.bounded(8)) * 0.25f + 1.0f});
    }
    const std::uint64_t l_max = 1 + rng.bounded(8);
    const auto expected = fill(l_max, offers);
    for (int perm = 0; perm < 30; ++perm) {
      rng.shuffle(std::span<Offer>(offers));
      ASSERT_EQ(fill(l_max, offers), expected) << "trial " << trial << " l_max " << l_max;
    }
  }
}

TEST(Reservoir, ReadOutRefusesNaN) {
  Reservoir r(4);
  r.insert(1, 0, std::numeric_limits<float>::quiet_NaN());
  EXPECT_THROW(r.into_sorted(), Error);
}

TEST(Reservoir, NodeReservoirsHaveOneLockAndFullCapacityEach) {
  NodeReservoirs all(5, 16);
  ASSERT_EQ(all.reservoirs.size(), 5u);
  ASSERT_EQ(all.locks.size(), 5u);
  for (const auto& r : all.reservoirs) EXPECT_GE(r.entries().capacity(), 16u);
}

}  // namespace
}  // namespace velnor::hashprune
