#include "core/bruteforce.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "core/distance.hpp"
#include "core/parallel.hpp"

namespace velnor {

namespace {

constexpr std::uint64_t kTile = 32;
// Up to this many rows the whole distance matrix is kept, filled one triangle
// at a time (sq_l2 is exactly symmetric); above it each row is scanned alone.
constexpr std::uint64_t kMatrixRows = 4096;

using Pair = std::pair<float, std::uint32_t>;  // (squared distance, row)

// Distances of row i to rows [j0, j1).
void row_distances(const Dataset& ds, std::uint64_t i, std::uint64_t j0, std::uint64_t j1,
                   float* out) {
  sq_l2_each(ds.row(i), j1 - j0, ds.d(), [&](std::size_t t) { return ds.row(j0 + t); }, out);
}

std::vector<float> distance_matrix(const Dataset& ds) {
  const std::uint64_t n = ds.n();
  std::vector<float> dist(n * n);
  const std::uint64_t tiles = (n + kTile - 1) / kTile;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> work;
  for (std::uint64_t ti = 0; ti < tiles; ++ti)
    for (std::uint64_t tj = ti; tj < tiles; ++tj) work.emplace_back(ti, tj);
  parallel_for(work.size(), [&](std::size_t w) {
    const auto [ti, tj] = work[w];
    const std::uint64_t i1 = std::min(n, (ti + 1) * kTile);
    const std::uint64_t j0 = tj * kTile, j1 = std::min(n, (tj + 1) * kTile);
    for (std::uint64_t i = ti * kTile; i < i1; ++i) {
      const std::uint64_t from = ti == tj ? i : j0;
      row_distances(ds, i, from, j1, dist.data() + i * n + from);
      for (std::uint64_t j = from; j < j1; ++j) dist[j * n + i] = dist[i * n + j];
    }
  });
  return dist;
}

// The `stride` smallest (distance, row) pairs of one row, ascending, with the
// row's own pair swapped to the front.
void select_row(std::uint64_t i, const float* dist, std::uint64_t n, std::uint64_t stride,
                std::vector<Pair>& heap, const Dataset& ds, std::uint32_t* out_idx,
                float* out_dist) {
  // The first `stride` rows always enter the list, so a NaN among them cannot
  // be ordered; later NaNs are never smaller than the list's last entry.
  for (std::uint64_t j = 0; j < stride; ++j) {
    VELNOR_ASSERT(!std::isnan(dist[j]), "NaN distance in exact kNN: input holds NaN or infinity");
  }
  heap.clear();
  for (std::uint64_t j = 0; j < n; ++j) {
    const Pair p(dist[j], static_cast<std::uint32_t>(j));
    if (heap.size() < stride) {
      heap.push_back(p);
      std::push_heap(heap.begin(), heap.end());
    } else if (p.first < heap.front().first) {
      std::pop_heap(heap.begin(), heap.end());
      heap.back() = p;
      std::push_heap(heap.begin(), heap.end());
    }
  }
  std::sort_heap(heap.begin(), heap.end());
  const auto self = std::find_if(heap.begin(), heap.end(),
                                 [&](const Pair& p) { return p.second == i; });
  if (self != heap.end()) std::swap(heap.front(), *self);
  for (std::uint64_t m = 0; m < stride; ++m) {
    out_idx[m] = heap[m].second;
    out_dist[m] = ds.metric().reported(heap[m].first);
  }
}

}  // namespace

KnnResult knn_self_bruteforce(const Dataset& dataset, std::uint64_t k) {
  const std::uint64_t n = dataset.n();
  KnnResult result;
  result.stride = self_stride(n, k);
  if (n == 0) return result;
  const std::uint64_t stride = result.stride;
  result.indices.assign(n * stride, 0);
  result.distances.assign(n * stride, 0.0f);

  begin_stage("exact search", n);
  auto make_heap = [stride] {
    std::vector<Pair> heap;
    heap.reserve(stride + 1);
    return heap;
  };
  if (n <= kMatrixRows) {
    const std::vector<float> dist = distance_matrix(dataset);
    parallel_for(n, make_heap, [&](std::vector<Pair>& heap, std::size_t i) {
      select_row(i, dist.data() + i * n, n, stride, heap, dataset,
                 result.indices.data() + i * stride, result.distances.data() + i * stride);
    }, {.counted = true});
  } else {
    parallel_for(
        n,
        [&] { return std::make_pair(make_heap(), std::vector<float>(n)); },
        [&](auto& state, std::size_t i) {
          row_distances(dataset, i, 0, n, state.second.data());
          select_row(i, state.second.data(), n, stride, state.first, dataset,
                     result.indices.data() + i * stride, result.distances.data() + i * stride);
        },
        {.counted = true});
  }
  return result;
}

}  // namespace velnor
