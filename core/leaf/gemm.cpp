#include "core/leaf/gemm.hpp"

#include <cblas.h>

#include "core/blas.hpp"
#include "core/copy_rows.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>

namespace velnor::leaf {

namespace {

// Tile edge of the blocked pass over the block: a tile of each triangle
// stays in cache while one is read and the other written.
constexpr std::uint64_t kTile = 64;

// Turns the Gram matrix's upper triangle into distances and writes each onto
// both triangles: D[i][j] = D[j][i] = max((q[j] + q[i]) - (G[i][j] + G[i][j]), 0),
// D[i][i] = 0. The maximum also maps NaN to 0.
void expand_and_mirror(float* block, const float* q, std::uint64_t s) {
  for (std::uint64_t ib = 0; ib < s; ib += kTile) {
    const std::uint64_t i_end = std::min(s, ib + kTile);
    for (std::uint64_t jb = ib; jb < s; jb += kTile) {
      const std::uint64_t j_end = std::min(s, jb + kTile);
      for (std::uint64_t i = ib; i < i_end; ++i) {
        float* row = block + i * s;
        for (std::uint64_t j = std::max(jb, i + 1); j < j_end; ++j) {
          const float v = (q[j] + q[i]) - (row[j] + row[j]);
          const float dist = v > 0.0f ? v : 0.0f;
          row[j] = dist;
          block[j * s + i] = dist;
        }
      }
    }
  }
  for (std::uint64_t i = 0; i < s; ++i) block[i * s + i] = 0.0f;
}

bool by_distance(const Candidate& a, const Candidate& b) { return a.dist < b.dist; }

// Cuts `cands` to its k smallest distances, in no particular order.
void keep_nearest(std::vector<Candidate>& cands, std::uint64_t k) {
  if (cands.size() <= k) return;
  std::nth_element(cands.begin(), cands.begin() + static_cast<std::ptrdiff_t>(k - 1), cands.end(),
                   by_distance);
  cands.resize(k);
}

// The k smallest entries of `row` (skipping index `self`), as (position,
// distance) pairs, into `out`, by a running bar: whenever the buffer holds 2k
// entries it is cut to its k smallest, and a later entry must beat the k-th
// of those strictly.
void select_by_running_bar(const float* row, std::uint64_t s, std::uint64_t self,
                           std::uint64_t k, std::vector<Candidate>& out) {
  out.clear();
  float bar = std::numeric_limits<float>::infinity();
  for (std::uint64_t j = 0; j < s; ++j) {
    if (row[j] < bar && j != self) {
      out.push_back({static_cast<std::uint32_t>(j), row[j]});
      if (out.size() == 2 * k) {
        keep_nearest(out, k);
        bar = std::max_element(out.begin(), out.end(), by_distance)->dist;
      }
    }
  }
  keep_nearest(out, k);
}

constexpr std::uint64_t kBarSamples = SelectBuffers::kSamples;

// The k smallest entries of `row` (skipping index `self`), as (position,
// distance) pairs, into `out`, in no particular order. A bar guessed from a
// strided sample (aiming at about 1.5k entries below it) lets one branch-free
// pass collect a short list, which is then cut to k; when fewer than k
// entries pass the guess, the running-bar selection takes over. Which of
// several entries tied at the k-th distance survive depends only on the row.
void select_nearest(const float* row, std::uint64_t s, std::uint64_t self, std::uint64_t k,
                    SelectBuffers& buf, std::vector<Candidate>& out) {
  out.clear();
  if (s - 1 <= k) {
    for (std::uint64_t j = 0; j < s; ++j)
      if (j != self) out.push_back({static_cast<std::uint32_t>(j), row[j]});
    return;
  }
  float* sample = buf.sample;
  for (std::uint64_t t = 0; t < kBarSamples; ++t) sample[t] = row[t * s / kBarSamples];
  const std::uint64_t rank =
      std::min<std::uint64_t>(kBarSamples - 1, (3 * k * kBarSamples) / (2 * s) + 2);
  std::nth_element(sample, sample + rank, sample + kBarSamples);
  const float bar = sample[rank];

  buf.below.resize(s);
  std::uint32_t* below = buf.below.data();
  std::uint64_t count = 0;
  for (std::uint64_t j = 0; j < s; ++j) {
    below[count] = static_cast<std::uint32_t>(j);
    count += row[j] < bar ? 1 : 0;
  }
  for (std::uint64_t t = 0; t < count; ++t)
    if (below[t] != self) out.push_back({below[t], row[below[t]]});
  if (out.size() < k) {
    select_by_running_bar(row, s, self, k, out);
    return;
  }
  keep_nearest(out, k);
}

}  // namespace

void leaf_sq_dists(const Dataset& dataset, std::span<const std::uint32_t> leaf, std::uint64_t s,
                   LeafScratch& scratch) {
  VELNOR_ASSERT(s <= leaf.size(), "leaf block larger than the leaf");
  const std::uint64_t d = dataset.d();
  scratch.rows.resize(s * d);
  scratch.block.resize(s * s);
  scratch.norms.resize(s);
  if (s == 0) return;
  copy_rows(dataset.data(), d, leaf.first(s), scratch.rows.data());
  for (std::uint64_t i = 0; i < s; ++i) scratch.norms[i] = d != 0 ? dataset.norms()[leaf[i]] : 0.0f;

  // G = X X^T is symmetric: one triangle of it, then mirrored, halves the
  // product and makes D exactly symmetric.
  float* g = scratch.block.data();
  if (d != 0) {
    use_single_threaded_blas();
    scipy_cblas_ssyrk(CblasRowMajor, CblasUpper, CblasNoTrans, static_cast<blasint>(s),
                      static_cast<blasint>(d), 1.0f, scratch.rows.data(), static_cast<blasint>(d),
                      0.0f, g, static_cast<blasint>(s));
  } else {
    std::fill(scratch.block.begin(), scratch.block.end(), 0.0f);
  }

  expand_and_mirror(g, scratch.norms.data(), s);
}

std::vector<float> leaf_sq_dists(const Dataset& dataset, std::span<const std::uint32_t> leaf,
                                 std::uint64_t s) {
  LeafScratch scratch;
  leaf_sq_dists(dataset, leaf, s, scratch);
  return std::move(scratch.block);
}

void insert_leaf_edges(const Dataset& dataset, std::span<const std::uint32_t> leaf,
                       std::uint64_t l_max, std::span<const float> projections,
                       const hashprune::Hyperplanes& hyperplanes,
                       hashprune::NodeReservoirs& reservoirs, LeafScratch& scratch) {
  const std::uint64_t s = leaf.size();
  if (s < 2) return;
  const std::uint64_t k = std::min(s - 1, l_max);
  if (k == 0) return;
  leaf_sq_dists(dataset, leaf, s, scratch);

  // The members' projections side by side, so codes read from cache.
  const std::uint64_t m = hyperplanes.m();
  scratch.projections.resize(s * m);
  for (std::uint64_t i = 0; i < s; ++i)
    std::copy_n(projections.data() + static_cast<std::uint64_t>(leaf[i]) * m, m,
                scratch.projections.begin() + static_cast<std::ptrdiff_t>(i * m));

  auto& cands = scratch.candidates;  // leaf positions with their distances
  cands.reserve(2 * k);
  for (std::uint64_t i = 0; i < s; ++i) {
    const std::uint32_t u = leaf[i];
    select_nearest(scratch.block.data() + i * s, s, i, k, scratch.select, cands);

    // One batch under u's lock. A reservoir's contents do not depend on the
    // order of its offers, so the batch needs no sorting.
    std::lock_guard<std::mutex> lock(reservoirs.locks[u]);
    hashprune::Reservoir& reservoir = reservoirs.reservoirs[u];
    for (const Candidate& c : cands) {
      const auto code = hyperplanes.code(scratch.projections, static_cast<std::uint32_t>(i), c.id);
      reservoir.insert(leaf[c.id], code, c.dist);
    }
  }
}

}  // namespace velnor::leaf
