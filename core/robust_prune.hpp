#pragma once
// RobustPrune: a node's sorted candidates thinned to at most r out-neighbours
// pointing in diverse directions. A candidate x is dropped when an already
// selected neighbour s lies closer to it, by the factor alpha, than the node
// does: dist(node, x) > alpha^2 * sq_l2(s, x) (squared distances).
#include <cstdint>
#include <vector>

#include "core/candidate.hpp"
#include "core/dataset.hpp"

namespace velnor {

// Sorts `cands` ascending by (distance, id) and removes the node itself, then
// selects greedily: the nearest alive candidate is kept and prunes the later
// ones it covers, until r are kept or the list ends. Candidate distances are
// taken as given; candidate-to-candidate distances are fresh sq_l2 values.
// Returns the kept ids in selection order (capacity r). Throws Error when a
// candidate distance is NaN.
std::vector<std::uint32_t> robust_prune(const Dataset& dataset, std::uint32_t node,
                                        std::vector<Candidate>& cands, std::uint64_t r,
                                        float alpha);

}  // namespace velnor
