#include "core/exact_sample.hpp"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "core/blas.hpp"
#include "core/candidate.hpp"
#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"

namespace velnor {

namespace {

constexpr std::uint64_t kBlockRows = 64;   // sampled rows per product
constexpr std::uint64_t kTileRows = 2048;  // dataset rows per product tile

constexpr const char* kNanDistance =
    "NaN distance in an exact sample: the data holds NaN or infinity";

bool nearer(const Candidate& a, const Candidate& b) {
  return a.dist < b.dist || (a.dist == b.dist && a.id < b.id);
}

bool approx_below(const Candidate& a, const Candidate& b) { return a.dist < b.dist; }

// One worker's buffers, reused across the blocks it handles.
struct BlockScratch {
  std::vector<float> queries;               // the block's rows, kBlockRows x d
  std::vector<float> products;              // queries . tile rows, kBlockRows x kTileRows
  std::vector<std::vector<Candidate>> pool;  // per block row: max-heap of (approx, id)
  std::vector<std::uint8_t> unsafe;         // per block row: the product cannot be trusted
  std::vector<Candidate> measured;
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

// Offers rows [first, first + count) of the dataset to the pools of the
// block's rows, ranked by the product's distance.
void offer_tile(const Dataset& ds, std::span<const std::uint32_t> block, std::uint64_t first,
                std::uint64_t count, std::uint64_t pool_size, BlockScratch& s) {
  const auto d = static_cast<blasint>(ds.d());
  scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(block.size()),
                    static_cast<blasint>(count), d, 1.0f, s.queries.data(), d,
                    ds.data() + first * ds.d(), d, 0.0f, s.products.data(),
                    static_cast<blasint>(count));
  const std::vector<float>& norms = ds.norms();
  for (std::size_t r = 0; r < block.size(); ++r) {
    if (s.unsafe[r]) continue;
    const std::uint32_t self = block[r];
    const float q_norm = norms[self];
    const float* dots = s.products.data() + r * count;
    std::vector<Candidate>& heap = s.pool[r];
    for (std::uint64_t t = 0; t < count; ++t) {
      const auto id = static_cast<std::uint32_t>(first + t);
      if (id == self) continue;
      const float approx = (q_norm + norms[id]) - (dots[t] + dots[t]);
      if (!std::isfinite(approx)) {
        s.unsafe[r] = 1;  // overflow: this row is measured against every row
        break;
      }
      if (heap.size() < pool_size) {
        heap.push_back({id, approx});
        std::push_heap(heap.begin(), heap.end(), approx_below);
      } else if (approx < heap.front().dist) {
        std::pop_heap(heap.begin(), heap.end(), approx_below);
        heap.back() = {id, approx};
        std::push_heap(heap.begin(), heap.end(), approx_below);
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
  for (const float q : dataset.norms()) max_norm = std::max(max_norm, q);
  use_single_threaded_blas();
  const std::uint64_t blocks = (sample.size() + kBlockRows - 1) / kBlockRows;
  parallel_for(
      blocks,
      [&] {
        BlockScratch s;
        s.queries.resize(kBlockRows * d);
        s.products.resize(kBlockRows * kTileRows);
        s.pool.resize(kBlockRows);
        s.unsafe.resize(kBlockRows);
        return s;
      },
      [&](BlockScratch& s, std::size_t b) {
        const std::uint64_t begin = b * kBlockRows;
        const auto block = sample.subspan(begin, std::min(kBlockRows, sample.size() - begin));
        for (std::size_t r = 0; r < block.size(); ++r) {
          std::copy_n(dataset.row(block[r]), d, s.queries.data() + r * d);
          s.pool[r].clear();
          s.unsafe[r] = 0;
        }
        for (std::uint64_t first = 0; first < n; first += kTileRows) {
          offer_tile(dataset, block, first, std::min(kTileRows, n - first), pool_size, s);
        }
        for (std::size_t r = 0; r < block.size(); ++r) {
          const std::uint32_t self = block[r];
          std::uint32_t* ids = out.ids.data() + (begin + r) * k;
          float* dists = out.dists.data() + (begin + r) * k;
          if (!s.unsafe[r]) {
            const std::vector<Candidate>& heap = s.pool[r];
            s.measured.clear();
            for (const Candidate& c : heap) {
              s.measured.push_back({c.id, sq_l2(dataset.row(self), dataset.row(c.id), d)});
            }
            keep_nearest(s.measured, k, ids, dists);
            if (heap.size() == n - 1) continue;  // every other row was measured
            // Every row outside the pool ranked at or above the pool's
            // largest product distance; none can be as near as the k-th
            // neighbour when even its most favourable rounding keeps it
            // farther.
            const float bar = heap.front().dist;
            const double lowest =
                double{bar} - product_distance_error(d, dataset.norms()[self], max_norm, bar);
            if (bar >= 0.0f && lowest > double{dists[k - 1]}) continue;
          }
          measure_all(dataset, self, s.measured);
          keep_nearest(s.measured, k, ids, dists);
        }
      });
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
