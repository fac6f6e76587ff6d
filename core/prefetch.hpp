#pragma once
// Software prefetch of the rows a loop is about to read.
#include <cstddef>
#include <cstdint>

namespace velnor {

// Asks for every cache line of the `bytes` bytes at `data`, so that a row
// read soon after arrives whole, its lines' misses overlapping, rather than
// line by line behind the first.
inline void prefetch_bytes(const void* data, std::uint64_t bytes) {
  if (bytes == 0) return;
  const char* first = static_cast<const char*>(data);
  const char* last = first + (bytes - 1);
  for (const char* line = first; line < last; line += 64) __builtin_prefetch(line);
  __builtin_prefetch(last);
}

// Loops that read rows in the order of scattered ids request the row this
// many ids ahead, so that its misses overlap the work on the rows before it.
inline constexpr std::size_t kRowsAhead = 4;

// Requests row ids[i + kRowsAhead] of `rows` (d floats each), if that index
// is below `end`.
inline void prefetch_row_ahead(const float* rows, std::uint64_t d, const std::uint32_t* ids,
                               std::size_t i, std::size_t end) {
  if (i + kRowsAhead < end) prefetch_bytes(rows + std::uint64_t{ids[i + kRowsAhead]} * d, d * sizeof(float));
}

}  // namespace velnor
