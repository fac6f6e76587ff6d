#pragma once
// Random hyperplanes through the origin that sketch the direction from a
// point to a candidate: bit j of a code says on which side of plane j the
// difference vector (candidate - point) lies. Every row is projected onto
// every plane once (sketch_all), so a code costs m subtractions.
#include <cstdint>
#include <span>
#include <vector>

#include "core/dataset.hpp"

namespace velnor::hashprune {

// Codes pack into 16 bits, so at most this many planes.
inline constexpr std::uint64_t kMaxPlanes = 16;

class Hyperplanes {
 public:
  // m planes of dimension d with standard normal entries (Box-Muller from
  // ChaCha8 seeded with `seed`, row-major, plane 0 first). Throws
  // InvalidArgument "m must be <= 16 (code packs into u16)" for m > 16.
  Hyperplanes(std::uint64_t m, std::uint64_t d, std::uint64_t seed);

  std::uint64_t m() const { return m_; }
  std::uint64_t d() const { return d_; }
  // The m x d plane matrix, row-major.
  const std::vector<float>& planes() const { return planes_; }

  // The n x m projection table: entry (i, j) is row i . plane j, summed in
  // f32 in index order.
  std::vector<float> sketch_all(const Dataset& dataset) const;

  // Code of candidate v relative to point u: bit j is set when
  // P[v][j] - P[u][j] >= 0 (a NaN difference leaves it clear); bits m..15
  // are 0.
  std::uint16_t code(std::span<const float> table, std::uint32_t u, std::uint32_t v) const;

 private:
  std::uint64_t m_;
  std::uint64_t d_;
  std::vector<float> planes_;
};

}  // namespace velnor::hashprune
