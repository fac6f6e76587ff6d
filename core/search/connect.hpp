#pragma once
// Makes every node of a graph reachable from its medoid. A graph built from
// nearest-neighbour lists alone falls apart into pieces on clustered data
// (nothing links one cluster to the next), and a few nodes of any graph may
// be listed by nobody. Each piece, and then each node still out of reach,
// is searched for from the medoid; the nearest node found links to it (both
// ways for a piece). The searches of a round run on the graph as it was
// when the round began, so the result does not depend on the number of
// workers.
#include <cstdint>

#include "core/dataset.hpp"
#include "core/graph.hpp"

namespace velnor {

struct ConnectReport {
  std::uint64_t pieces = 0;       // pieces of the undirected graph before
  std::uint64_t unreached = 0;    // nodes the medoid could not reach after linking pieces
};

// Returns the graph with the added links appended to the lists (which may
// then exceed the build's degree bound by a few).
Graph connect_from_medoid(const Dataset& dataset, Graph graph, std::uint64_t beam,
                          ConnectReport* report = nullptr);

}  // namespace velnor
