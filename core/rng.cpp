#include "core/rng.hpp"

#include <bit>

namespace velnor {

namespace {

constexpr std::uint32_t rotl(std::uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                          std::uint32_t& d) {
  a += b; d ^= a; d = rotl(d, 16);
  c += d; b ^= c; b = rotl(b, 12);
  a += b; d ^= a; d = rotl(d, 8);
  c += d; b ^= c; b = rotl(b, 7);
}

}  // namespace

std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 8>& key,
                                          std::uint64_t counter, std::uint64_t nonce,
                                          int rounds) {
  std::array<std::uint32_t, 16> in = {
      0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u,  // "expand 32-byte k"
      key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
      static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
      static_cast<std::uint32_t>(nonce), static_cast<std::uint32_t>(nonce >> 32)};
  std::array<std::uint32_t, 16> x = in;
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) x[i] += in[i];
  return x;
}

std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed) {
  constexpr std::uint64_t kMul = 6364136223846793005ull;
  constexpr std::uint64_t kInc = 11634580027462260723ull;
  std::array<std::uint32_t, 8> key{};
  std::uint64_t state = seed;
  for (auto& word : key) {
    state = state * kMul + kInc;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    word = std::rotr(xorshifted, static_cast<int>(state >> 59));
  }
  return key;
}

ChaCha8::ChaCha8(std::uint64_t seed) : key_(expand_seed(seed)) {}

void ChaCha8::refill() {
  for (std::size_t b = 0; b < 4; ++b) {
    const auto block = chacha_block(key_, counter_++, 0, 8);
    for (std::size_t w = 0; w < 16; ++w) buffer_[b * 16 + w] = block[w];
  }
  index_ = 0;
}

std::uint32_t ChaCha8::next_u32() {
  if (index_ == buffer_.size()) refill();
  return buffer_[index_++];
}

std::uint64_t ChaCha8::next_u64() {
  const std::uint64_t low = next_u32();
  const std::uint64_t high = next_u32();
  return low | (high << 32);
}

std::uint64_t ChaCha8::bounded(std::uint64_t bound) {
  VELNOR_ASSERT(bound > 0, "bounded draw needs a positive bound");
  if (bound <= 0xFFFFFFFFull) {
    const auto b = static_cast<std::uint32_t>(bound);
    const std::uint32_t zone = (b << std::countl_zero(b)) - 1;
    for (;;) {
      const std::uint64_t product = static_cast<std::uint64_t>(next_u32()) * b;
      if (static_cast<std::uint32_t>(product) <= zone) return product >> 32;
    }
  }
  if (bound == 0x100000000ull) return next_u32();
  const std::uint64_t zone = (bound << std::countl_zero(bound)) - 1;
  for (;;) {
    const unsigned __int128 product = static_cast<unsigned __int128>(next_u64()) * bound;
    if (static_cast<std::uint64_t>(product) <= zone) return static_cast<std::uint64_t>(product >> 64);
  }
}

float ChaCha8::uniform_f32() {
  return static_cast<float>(next_u32() >> 8) * 0x1.0p-24f;
}

double ChaCha8::uniform_f64() {
  return static_cast<double>(next_u64() >> 11) * 0x1.0p-53;
}

}  // namespace velnor
