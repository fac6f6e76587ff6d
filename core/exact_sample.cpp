#include "core/exact_sample.hpp"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/blas.hpp"
#include "core/candidate.hpp"
#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"

namespace velnor {

namespace {

constexpr std::uint64_t kBlockRows = 1024;  // sampled rows per pass over the dataset
constexpr std::uint64_t kTileRows = 512;    // dataset rows per product
constexpr std::uint64_t kGroup = 16;        // product distances checked at once

constexpr const char* kNanDistance =
    "NaN distance in an exact sample: the data holds NaN or infinity";

bool nearer(const Candidate& a, const Candidate& b) {
  return a.dist < b.dist || (a.dist == b.dist && a.id < b.id);
}

bool approx_below(const Candidate& a, const Candidate& b) { return a.dist < b.dist; }

// One worker's share of a pass: the tiles it multiplies, and for every
// sampled row of the block the candidates it found among them.
struct Worker {
  std::vector<float> products;               // block rows x kTileRows
  std::vector<std::vector<Candidate>> pool;  // per block row: max-heap of (approx, id)
};

// The k nearest of `measured` (exact sq_l2) into ids/dists, ascending.
void keep_nearest(std::vector<Candidate>& measured, std::uint64_t k, std::uint32_t* ids,
                  float* dists) {
  for (const Candidate& c : measured) {
    if (std::isnan(c.dist)) throw Error(kNanDistance);
  }
  const auto end = measured.begin() + static_cast<std::ptrdiff_t>(k);
  std::partial_sort(measured.begin(), end, measured.end(), nearer);
  for (std::uint64_t j = 0; j < k; ++j) {
    ids[j] = measured[j].id;
    dists[j] = measured[j].dist;
  }
}

// Every other row measured with sq_l2.
void measure_all(const Dataset& ds, std::uint32_t self, std::vector<Candidate>& measured) {
  measured.clear();
  const float* q = ds.row(self);
  for (std::uint64_t j = 0; j < ds.n(); ++j) {
    if (j == self) continue;
    measured.push_back({static_cast<std::uint32_t>(j), sq_l2(q, ds.row(j), ds.d())});
  }
}

// Offers rows [first, first + count) of the dataset to the worker's pools of
// the block's rows, ranked by the product's distance.
void offer_tile(const Dataset& ds, std::span<const std::uint32_t> block, const float* queries,
                std::uint64_t first, std::uint64_t count, std::uint64_t pool_size, Worker& w) {
  const auto d = static_cast<blasint>(ds.d());
  scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(block.size()),
                    static_cast<blasint>(count), d, 1.0f, queries, d, ds.data() + first * ds.d(), d,
                    0.0f, w.products.data(), static_cast<blasint>(count));
  const float* norms = ds.norms().data() + first;
  for (std::size_t r = 0; r < block.size(); ++r) {
    const float q_norm = ds.norms()[block[r]];
    const float* dots = w.products.data() + r * count;
    std::vector<Candidate>& heap = w.pool[r];
    float top = heap.size() < pool_size ? std::numeric_limits<float>::infinity() : heap.front().dist;
    // Sixteen product distances at a time, in a loop the compiler
    // vectorises; only a group with one below the pool's largest is looked
    // at one by one.
    for (std::uint64_t t0 = 0; t0 < count; t0 += kGroup) {
      const std::uint64_t size = std::min(kGroup, count - t0);
      float approx[kGroup];
      int below = 0;
      for (std::uint64_t j = 0; j < kGroup; ++j) {
        const std::uint64_t t = t0 + (j < size ? j : 0);
        approx[j] = (q_norm + norms[t]) - (dots[t] + dots[t]);
        below |= approx[j] < top;
      }
      if (below == 0) continue;
      for (std::uint64_t j = 0; j < size; ++j) {
        if (!(approx[j] < top)) continue;
        const auto id = static_cast<std::uint32_t>(first + t0 + j);
        if (id == block[r]) continue;
        if (heap.size() < pool_size) {
          heap.push_back({id, approx[j]});
          std::push_heap(heap.begin(), heap.end(), approx_below);
          if (heap.size() == pool_size) top = heap.front().dist;
        } else {
          std::pop_heap(heap.begin(), heap.end(), approx_below);
          heap.back() = {id, approx[j]};
          std::push_heap(heap.begin(), heap.end(), approx_below);
          top = heap.front().dist;
        }
      }
    }
  }
}

}  // namespace

SampleNeighbors exact_sample_neighbors(const Dataset& dataset,
                                       std::span<const std::uint32_t> sample, std::uint64_t k) {
  const std::uint64_t n = dataset.n(), d = dataset.d();
  if (k == 0) throw InvalidArgument("k must be at least 1");
  if (k >= n) {
    throw InvalidArgument("k must be below the number of rows (" + std::to_string(n) +
                          "): each row itself is left out");
  }
  for (const std::uint32_t id : sample) {
    if (id >= n) throw InvalidArgument("sampled row " + std::to_string(id) + " is out of range");
  }
  SampleNeighbors out;
  out.k = k;
  out.ids.resize(sample.size() * k);
  out.dists.resize(sample.size() * k);
  if (sample.empty()) return out;

  // Enough candidates that the product's rounding rarely reaches past them.
  const std::uint64_t pool_size = std::min(n - 1, 2 * k + 16);
  float max_norm = 0.0f;
  bool finite = true;
  for (const float q : dataset.norms()) {
    finite = finite && std::isfinite(q);
    max_norm = std::max(max_norm, q);
  }
  // With norms this small no product distance can overflow; otherwise
  // every sampled row is measured against every row.
  const bool products = finite && max_norm <= std::numeric_limits<float>::max() / 8;
  use_single_threaded_blas();

  // Each pass multiplies a block of sampled rows with every tile of the
  // dataset, the tiles dealt out among the workers; then each sampled row's
  // candidates from all workers are measured exactly.
  const std::uint64_t tiles = (n + kTileRows - 1) / kTileRows;
  const std::uint64_t workers = std::min<std::uint64_t>(current_pool_threads(), tiles);
  const std::uint64_t block_rows = std::min<std::uint64_t>(kBlockRows, sample.size());
  std::vector<Worker> team(workers);
  std::vector<float> queries(block_rows * d);
  for (std::uint64_t begin = 0; begin < sample.size(); begin += kBlockRows) {
    const auto block = sample.subspan(begin, std::min(kBlockRows, sample.size() - begin));
    for (std::size_t r = 0; r < block.size(); ++r) {
      std::copy_n(dataset.row(block[r]), d, queries.data() + r * d);
    }
    parallel_for(workers, [&](std::size_t w) {
      Worker& me = team[w];
      me.products.resize(block_rows * kTileRows);
      me.pool.assign(block.size(), {});
      for (std::uint64_t tile = w; products && tile < tiles; tile += workers) {
        const std::uint64_t first = tile * kTileRows;
        offer_tile(dataset, block, queries.data(), first, std::min(kTileRows, n - first), pool_size,
                   me);
      }
    });
    parallel_for(
        block.size(), [] { return std::vector<Candidate>(); },
        [&](std::vector<Candidate>& measured, std::size_t r) {
          const std::uint32_t self = block[r];
          std::uint32_t* ids = out.ids.data() + (begin + r) * k;
          float* dists = out.dists.data() + (begin + r) * k;
          // Every row a worker left out ranked at or above the largest of
          // that worker's full pool.
          double bar = std::numeric_limits<double>::infinity();
          measured.clear();
          for (const Worker& w : team) {
            const std::vector<Candidate>& heap = w.pool[r];
            if (heap.size() == pool_size) bar = std::min(bar, double{heap.front().dist});
            for (const Candidate& c : heap) {
              measured.push_back({c.id, sq_l2(dataset.row(self), dataset.row(c.id), d)});
            }
          }
          if (products) {
            keep_nearest(measured, k, ids, dists);
            if (bar == std::numeric_limits<double>::infinity()) return;  // every other row measured
            // None of those rows can be as near as the k-th neighbour when
            // even its most favourable rounding keeps it farther.
            const double lowest =
                bar - product_distance_error(d, dataset.norms()[self], max_norm, static_cast<float>(bar));
            if (bar >= 0.0 && lowest > double{dists[k - 1]}) return;
          }
          measure_all(dataset, self, measured);
          keep_nearest(measured, k, ids, dists);
        },
        {.chunk = 16});
  }
  return out;
}
double sample_recall(const Dataset& dataset, std::span<const std::uint32_t> sample,
                     std::span<const std::uint32_t> found, const SampleNeighbors& exact) {
  const std::uint64_t k = exact.k, n = dataset.n(), d = dataset.d();
  if (sample.empty() || k == 0) throw InvalidArgument("recall needs a non-empty sample and k >= 1");
  if (found.size() != sample.size() * k || exact.ids.size() != sample.size() * k) {
    throw InvalidArgument("found lists must hold k ids for every sampled row");
  }
  std::uint64_t hits = 0;
  std::vector<std::uint32_t> ids;
  for (std::size_t i = 0; i < sample.size(); ++i) {
    const std::uint32_t self = sample[i];
    if (self >= n) throw InvalidArgument("sampled row " + std::to_string(self) + " is out of range");
    const float kth = exact.dists[i * k + k - 1];
    ids.assign(found.begin() + static_cast<std::ptrdiff_t>(i * k),
               found.begin() + static_cast<std::ptrdiff_t>((i + 1) * k));
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    for (const std::uint32_t id : ids) {
      if (id >= n) throw InvalidArgument("found row " + std::to_string(id) + " is out of range");
      if (id != self && sq_l2(dataset.row(self), dataset.row(id), d) <= kth) ++hits;
    }
  }
  return static_cast<double>(hits) / static_cast<double>(sample.size() * k);
}

}  // namespace velnor
