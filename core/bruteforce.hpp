#pragma once
// Exact self-kNN by comparing every row with every row: the route for small
// inputs, where building a graph would cost more than it saves.
#include <cstdint>

#include "core/dataset.hpp"
#include "core/knn_result.hpp"

namespace velnor {

// For every row i, its min(k + 1, n) nearest rows by sq_l2 (ties by lower row
// number), the row itself swapped to the front. Fails when a NaN distance has
// to be ordered. Runs its rows in parallel on the current pool.
KnnResult knn_self_bruteforce(const Dataset& dataset, std::uint64_t k);

}  // namespace velnor
