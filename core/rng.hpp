#pragma once
// ChaCha8 random-number generator. All randomness of the library comes from
// it, seeded from 64-bit values, so every build is a function of its inputs
// and seed: nothing reads the clock or the system's entropy.
//
// The stream is the ChaCha block function (8 rounds here) over a 256-bit key,
// a 64-bit block counter starting at 0 and a 64-bit nonce of 0, read as
// consecutive little-endian 32-bit words, 4 blocks (64 words) per refill.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "core/error.hpp"

namespace velnor {

// One ChaCha block: the 16 output words for key, counter and nonce after
// `rounds` rounds (a multiple of 2). Exposed for test vectors.
std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 8>& key,
                                          std::uint64_t counter, std::uint64_t nonce,
                                          int rounds);

// The 8 key words expanded from a 64-bit seed with the PCG32 step.
std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed);

class ChaCha8 {
 public:
  explicit ChaCha8(std::uint64_t seed);

  std::uint32_t next_u32();
  // Two consecutive words, the first as the low half.
  std::uint64_t next_u64();

  // Uniform integer in [0, bound) by widening multiplication with rejection;
  // 32-bit draws for bound <= 2^32, 64-bit draws above. bound must be > 0.
  std::uint64_t bounded(std::uint64_t bound);

  // (word >> 8) * 2^-24, in [0, 1).
  float uniform_f32();
  // (64-bit draw >> 11) * 2^-53, in [0, 1).
  double uniform_f64();

  // Fisher-Yates from the end: for i = len-1 down to 1, swap i with a
  // uniform j in [0, i].
  template <class T>
  void shuffle(std::span<T> items) {
    for (std::size_t i = items.size(); i > 1; --i) {
      const std::size_t j = static_cast<std::size_t>(bounded(i));
      std::swap(items[i - 1], items[j]);
    }
  }

 private:
  void refill();

  std::array<std::uint32_t, 8> key_;
  std::uint64_t counter_ = 0;
  std::array<std::uint32_t, 64> buffer_{};
  std::size_t index_ = 64;  // next unread word of buffer_
};

}  // namespace velnor
