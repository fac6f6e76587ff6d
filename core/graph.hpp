#pragma once
// The final search graph in compressed rows: node i's neighbours are
// neighbors[offsets[i] .. offsets[i+1]). Immutable after the build and read
// concurrently by every search thread.
#include <cstdint>
#include <span>
#include <vector>

namespace velnor {

struct Graph {
  std::vector<std::uint64_t> offsets{0};   // n + 1 entries, offsets[0] = 0
  std::vector<std::uint32_t> neighbors;    // all lists concatenated in node order
  std::uint32_t medoid = 0;                // the row nearest the mean of all rows

  // A graph whose lists are the given ones, in the given order.
  static Graph from_adjacency(std::vector<std::vector<std::uint32_t>> lists,
                              std::uint32_t medoid);

  std::uint64_t size() const { return offsets.size() - 1; }

  std::span<const std::uint32_t> neighbors_of(std::uint64_t node) const {
    return {neighbors.data() + offsets[node], neighbors.data() + offsets[node + 1]};
  }
};

}  // namespace velnor
