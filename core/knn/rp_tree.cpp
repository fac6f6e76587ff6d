#include "core/knn/rp_tree.hpp"

#include <algorithm>
#include <numeric>

#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/prefetch.hpp"
#include "core/rng.hpp"

namespace velnor::knn {

namespace {

// Rows projected per parallel task when one part is large.
constexpr std::uint64_t kProjectChunk = 4096;

struct Part {
  std::uint64_t begin, end;  // a range of the id array
};

std::uint64_t part_seed(std::uint64_t seed, const Part& part) {
  return seed ^ (part.begin * 0x9E3779B97F4A7C15ull) ^ (part.end * 0xC2B2AE3D27D4EB4Full);
}


}  // namespace

partition::LeafList rp_tree_leaves(const float* rows, std::uint64_t n, std::uint64_t dim,
                                   std::uint64_t leaf_size, std::uint64_t seed) {
  VELNOR_ASSERT(leaf_size >= 2, "leaf size must be at least 2");
  std::vector<std::uint32_t> ids(n);
  std::iota(ids.begin(), ids.end(), 0u);
  std::vector<float> key(n);
  std::vector<std::pair<float, std::uint32_t>> keyed;
  std::vector<Part> parts{{0, n}}, next, leaves_parts;

  const auto split = [&](const Part& part, bool parallel_inside) {
    const std::uint64_t m = part.end - part.begin;
    ChaCha8 rng(part_seed(seed, part));
    const std::uint64_t a = part.begin + rng.bounded(m);
    std::uint64_t b = part.begin + rng.bounded(m - 1);
    if (b >= a) ++b;
    // |x - b|^2 - |x - a|^2 grows with the projection of x on a - b.
    const float* ra = rows + std::uint64_t{ids[a]} * dim;
    const float* rb = rows + std::uint64_t{ids[b]} * dim;
    const auto project = [&](std::uint64_t t) {
      prefetch_row_ahead(rows, dim, ids.data(), t, part.end);
      const float* x = rows + std::uint64_t{ids[t]} * dim;
      key[t] = sq_l2(x, rb, dim) - sq_l2(x, ra, dim);
    };
    if (parallel_inside) {
      const std::uint64_t chunks = (m + kProjectChunk - 1) / kProjectChunk;
      parallel_for(chunks, [&](std::size_t c) {
        const std::uint64_t lo = part.begin + c * kProjectChunk;
        const std::uint64_t hi = std::min(part.end, lo + kProjectChunk);
        for (std::uint64_t t = lo; t < hi; ++t) project(t);
      });
    } else {
      for (std::uint64_t t = part.begin; t < part.end; ++t) project(t);
    }
    // Median by (key, id), so equal keys still cut deterministically.
    std::vector<std::pair<float, std::uint32_t>> local(m);
    for (std::uint64_t t = 0; t < m; ++t) local[t] = {key[part.begin + t], ids[part.begin + t]};
    const auto mid = local.begin() + static_cast<std::ptrdiff_t>(m / 2);
    std::nth_element(local.begin(), mid, local.end());
    for (std::uint64_t t = 0; t < m; ++t) ids[part.begin + t] = local[t].second;
  };

  while (!parts.empty()) {
    next.clear();
    // Large parts first, each split with its projections in parallel; then
    // the many small parts of the deeper levels, one per task.
    std::vector<Part> small;
    for (const Part& part : parts) {
      if (part.end - part.begin <= leaf_size) {
        leaves_parts.push_back(part);
      } else if (part.end - part.begin >= 8 * kProjectChunk) {
        split(part, true);
      } else {
        small.push_back(part);
      }
    }
    parallel_for(small.size(), [&](std::size_t i) { split(small[i], false); });
    for (const Part& part : parts) {
      if (part.end - part.begin <= leaf_size) continue;
      const std::uint64_t mid = part.begin + (part.end - part.begin) / 2;
      next.push_back({part.begin, mid});
      next.push_back({mid, part.end});
    }
    parts.swap(next);
  }
  std::sort(leaves_parts.begin(), leaves_parts.end(),
            [](const Part& x, const Part& y) { return x.begin < y.begin; });
  partition::LeafList leaves;
  leaves.reserve(leaves_parts.size());
  for (const Part& part : leaves_parts)
    leaves.emplace_back(ids.begin() + static_cast<std::ptrdiff_t>(part.begin),
                        ids.begin() + static_cast<std::ptrdiff_t>(part.end));
  return leaves;
}

}  // namespace velnor::knn
