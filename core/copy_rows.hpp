#pragma once
// Copying scattered rows into one contiguous block.
#include <cstdint>
#include <cstring>
#include <span>

#include "core/prefetch.hpp"

namespace velnor {

// Copies rows ids[0], ids[1], ... of `rows` (d floats each) one after another
// into `out`, each source row requested a few copies ahead.
inline void copy_rows(const float* rows, std::uint64_t d, std::span<const std::uint32_t> ids,
                      float* out) {
  if (d == 0) return;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    prefetch_row_ahead(rows, d, ids.data(), i, ids.size());
    std::memcpy(out + i * d, rows + std::uint64_t{ids[i]} * d, d * sizeof(float));
  }
}

}  // namespace velnor
