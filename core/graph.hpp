#pragma once
// The final search graph in compressed rows: node i's neighbours are
// neighbors[offsets[i] .. offsets[i+1]). Immutable after the build and read
// concurrently by every search thread.
#include <cstdint>
#include <span>
#include <vector>

#include "core/dataset.hpp"

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

// Fixed-stride adjacency of the build's last stages: row i holds node i's
// neighbours in its first degree[i] slots; the remaining slots hold
// kNoNeighbor and are never read.
struct AdjacencyTable {
  static constexpr std::uint32_t kNoNeighbor = 4294967295u;

  AdjacencyTable(std::uint64_t n, std::uint64_t r)
      : r(r), ids(n * r, kNoNeighbor), degree(n, 0) {}

  std::uint64_t size() const { return degree.size(); }
  std::span<const std::uint32_t> row(std::uint64_t i) const {
    return {ids.data() + i * r, degree[i]};
  }

  std::uint64_t r;                      // row stride and degree bound
  std::vector<std::uint32_t> ids;       // n x r
  std::vector<std::uint32_t> degree;    // n
};

// The row nearest (by sq_l2) to the mean of all rows, the lowest index on a
// tie; 0 for an empty dataset.
std::uint32_t approx_medoid(const Dataset& dataset);

// Merges each node's out-edges with its in-edges and cuts every merged list
// longer than r back to its r nearest ids (fresh sq_l2). Lists of at most r
// ids come out in ascending id order, cut lists in selection order. Throws
// Error when a cut meets a NaN distance.
AdjacencyTable symmetrize_flat(const AdjacencyTable& pruned, const Dataset& dataset);

// Packs a table into compressed rows.
Graph assemble_graph(const AdjacencyTable& table, std::uint32_t medoid);

}  // namespace velnor
