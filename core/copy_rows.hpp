#pragma once
// Copying scattered rows into one contiguous block.
#include <cstdint>
#include <cstring>
#include <span>

#include "core/prefetch.hpp"

namespace velnor {

// Copies rows ids[0], ids[1], ... of `rows` (d floats each) one after another
// into `out`. Each source row is requested a few copies ahead: rows picked by
// id lie scattered over the data, and their misses then overlap.
inline void copy_rows(const float* rows, std::uint64_t d, std::span<const std::uint32_t> ids,
                      float* out) {
  constexpr std::size_t kAhead = 4;
  if (d == 0) return;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i + kAhead < ids.size()) prefetch_bytes(rows + std::uint64_t{ids[i + kAhead]} * d, d * sizeof(float));
    std::memcpy(out + i * d, rows + std::uint64_t{ids[i]} * d, d * sizeof(float));
  }
}

}  // namespace velnor
