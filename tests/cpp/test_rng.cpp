#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <numeric>
#include <vector>

#include "core/rng.hpp"

namespace velnor {
namespace {

std::array<std::uint8_t, 64> block_bytes(const std::array<std::uint32_t, 16>& words) {
  std::array<std::uint8_t, 64> bytes{};
  for (int i = 0; i < 16; ++i)
    for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
  return bytes;
}

// RFC 7539, appendix A.1, test vectors 1 and 2: ChaCha20 with an all-zero key
// and nonce, block counters 0 and 1.
TEST(ChaChaBlock, PublishedTwentyRoundVectors) {
  const std::array<std::uint32_t, 8> zero_key{};
  const std::array<std::uint8_t, 64> counter0 = {
      0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a, 0xe5, 0x53,
      0x86, 0xbd, 0x28, 0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d, 0xed, 0x1a, 0xa8, 0x36,
      0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7, 0xda, 0x41, 0x59, 0x7c, 0x51, 0x57, 0x48,
      0x8d, 0x77, 0x24, 0xe0, 0x3f, 0xb8, 0xd8, 0x4a, 0x37, 0x6a, 0x43, 0xb8, 0xf4,
      0x15, 0x18, 0xa1, 0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee, 0x65, 0x86};
  const std::array<std::uint8_t, 64> counter1 = {
      0x9f, 0x07, 0xe7, 0xbe, 0x55, 0x51, 0x38, 0x7a, 0x98, 0xba, 0x97, 0x7c, 0x73,
      0x2d, 0x08, 0x0d, 0xcb, 0x0f, 0x29, 0xa0, 0x48, 0xe3, 0x65, 0x69, 0x12, 0xc6,
      0x53, 0x3e, 0x32, 0xee, 0x7a, 0xed, 0x29, 0xb7, 0x21, 0x76, 0x9c, 0xe6, 0x4e,
      0x43, 0xd5, 0x71, 0x33, 0xb0, 0x74, 0xd8, 0x39, 0xd5, 0x31, 0xed, 0x1f, 0x28,
      0x51, 0x0a, 0xfb, 0x45, 0xac, 0xe1, 0x0a, 0x1f, 0x4b, 0x79, 0x4d, 0x6f};
  EXPECT_EQ(block_bytes(chacha_block(zero_key, 0, 0, 20)), counter0);
  EXPECT_EQ(block_bytes(chacha_block(zero_key, 1, 0, 20)), counter1);
}

TEST(ExpandSeed, Pcg32KeyWords) {
  // Worked out independently from the PCG32 step for these seeds.
  const std::array<std::uint32_t, 8> seed0 = {0xF973F2ECu, 0x45CDB581u, 0x7346F087u,
                                              0xAD6CAD06u, 0xE3A3D0D0u, 0x67E71733u,
                                              0x72EA9BF2u, 0xFE7D8AD7u};
  const std::array<std::uint32_t, 8> seed1 = {0x721DD8EAu, 0x4E10265Du, 0xF83B9C89u,
                                              0x2E78CE42u, 0xDA03D3BAu, 0xC2D29799u,
                                              0xAC560212u, 0x1BFB6673u};
  EXPECT_EQ(expand_seed(0), seed0);
  EXPECT_EQ(expand_seed(1), seed1);
}

TEST(ChaCha8, StreamIsEightRoundBlocksInCounterOrder) {
  ChaCha8 rng(42);
  const auto key = expand_seed(42);
  // Three refills' worth: 12 blocks, 192 words.
  for (std::uint64_t block = 0; block < 12; ++block) {
    const auto words = chacha_block(key, block, 0, 8);
    for (int w = 0; w < 16; ++w) ASSERT_EQ(rng.next_u32(), words[w]) << block << ":" << w;
  }
}

TEST(ChaCha8, WideDrawsTakeConsecutiveWordsLowFirst) {
  ChaCha8 rng(7), twin(7);
  for (int i = 0; i < 63; ++i) rng.next_u32(), twin.next_u32();
  // This draw straddles the refill boundary (word 63, then word 64).
  const std::uint64_t low = twin.next_u32(), high = twin.next_u32();
  EXPECT_EQ(rng.next_u64(), low | (high << 32));
}

TEST(ChaCha8, UniformConversions) {
  ChaCha8 rng(3), twin(3);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(rng.uniform_f32(), static_cast<float>(twin.next_u32() >> 8) * 0x1.0p-24f);
    EXPECT_EQ(rng.uniform_f64(), static_cast<double>(twin.next_u64() >> 11) * 0x1.0p-53);
  }
  ChaCha8 any(11);
  for (int i = 0; i < 1000; ++i) {
    const float f = any.uniform_f32();
    const double g = any.uniform_f64();
    ASSERT_TRUE(f >= 0.0f && f < 1.0f);
    ASSERT_TRUE(g >= 0.0 && g < 1.0);
  }
}

// Widening multiply with rejection: a word whose product's low half lies
// above the zone is thrown away and another word drawn.
std::uint64_t expected_bounded(ChaCha8& twin, std::uint32_t bound, int& rejected) {
  const std::uint32_t zone = (bound << __builtin_clz(bound)) - 1;
  for (;;) {
    const std::uint64_t product = static_cast<std::uint64_t>(twin.next_u32()) * bound;
    if (static_cast<std::uint32_t>(product) <= zone) return product >> 32;
    ++rejected;
  }
}

TEST(ChaCha8, BoundedRejectsOutsideTheZone) {
  for (const std::uint32_t bound : {1u, 3u, 10u, 1000u, 0x80000001u, 0xFFFFFFFFu}) {
    ChaCha8 rng(bound), twin(bound);
    int rejected = 0;
    for (int i = 0; i < 200; ++i) {
      const std::uint64_t value = rng.bounded(bound);
      ASSERT_LT(value, bound);
      ASSERT_EQ(value, expected_bounded(twin, bound, rejected)) << bound;
    }
    // With these bounds about a quarter to a half of the words fall outside
    // the zone, so the rejection path is exercised.
    if (bound == 3u || bound == 0x80000001u) {
      EXPECT_GT(rejected, 0) << bound;
    }
  }
  ChaCha8 wide(5);
  for (int i = 0; i < 100; ++i) EXPECT_LT(wide.bounded(0x300000000ull), 0x300000000ull);
}

TEST(ChaCha8, ShuffleSwapsFromTheEnd) {
  std::vector<int> items(10);
  std::iota(items.begin(), items.end(), 0);
  std::vector<int> expected = items;
  ChaCha8 rng(99), twin(99);
  rng.shuffle(std::span<int>(items));
  for (std::size_t i = expected.size() - 1; i >= 1; --i) {
    std::swap(expected[i], expected[twin.bounded(i + 1)]);
  }
  EXPECT_EQ(items, expected);
  EXPECT_EQ(rng.next_u32(), twin.next_u32());  // same number of words consumed
}

TEST(ChaCha8, SameSeedSameStreamOtherSeedOtherStream) {
  ChaCha8 a(123), b(123), c(124);
  bool differs = false;
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t x = a.next_u32();
    EXPECT_EQ(x, b.next_u32());
    differs |= x != c.next_u32();
  }
  EXPECT_TRUE(differs);
}

}  // namespace
}  // namespace velnor
