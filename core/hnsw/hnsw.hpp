#pragma once
// The HNSW comparison backend: builds a hierarchical navigable small-world
// graph over the base rows, optionally over their 8-bit scalar-quantized codes,
// and answers self-kNN with it in the same layout as the graph pipeline.
#include <cstdint>

#include "core/dataset.hpp"
#include "core/knn_result.hpp"

namespace velnor {

struct HnswParams {
  std::uint64_t m = 16;                 // list cap above layer 0 (2m on layer 0); level spread
  std::uint64_t ef_construction = 200;  // ef of the build's connection searches
  std::uint64_t ef_search = 64;         // ef of each row's layer-0 search (at least the row width)
  std::uint64_t seed = 0;               // seed of the level draw
  bool quantize = false;                // build and search over SQ8 codes
};

// For every row, min(k + 1, n) rows found through an HNSW graph, sorted by
// exact squared distance (ties by index) and reported in the dataset's metric;
// the row itself is present at distance 0, and when the search reached fewer
// rows than the width, the row's own index pads the end. With quantize the
// graph is built and searched with code distances, but the kept candidates
// are re-ranked and reported with exact ones. Runs both the build and the
// queries on the current pool; with one worker the result is a function of
// the inputs and the seed. Fails (velnor::Error) on distances that cannot be
// ordered (NaN).
KnnResult knn_self_hnsw(const Dataset& dataset, const HnswParams& params, std::uint64_t k);

}  // namespace velnor
