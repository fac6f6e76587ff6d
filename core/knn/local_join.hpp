#pragma once
// Refinement of candidate lists by local joins (neighbours of neighbours):
// every node introduces its candidates, and those that point to it, to each
// other; a pair closer than a member's current worst candidate enters that
// member's list. Each pass reads only what the lists held when it began and
// offers in an order-free way, so its outcome does not depend on the number
// of workers.
#include <cstdint>

#include "core/dataset.hpp"
#include "core/knn/neighbor_lists.hpp"

namespace velnor::knn {

// One pass over all nodes. Each node joins at most `sample` of its fresh
// candidates (nearest first, then no longer fresh) and as many fresh
// reverse ones with all its candidates; distances are sq_l2 between the
// dataset's rows. Returns the number of fresh entries the lists hold after
// the pass.
std::uint64_t local_join(const Dataset& rows, NeighborLists& lists, std::uint64_t sample);

}  // namespace velnor::knn
