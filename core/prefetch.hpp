#pragma once
// Software prefetch of a row a loop is about to read.
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

}  // namespace velnor
