#include "core/leaf/gemm.hpp"

#include <cblas.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace velnor::leaf {

namespace {

// Leaves run in parallel on our own pool; the BLAS must not add threads.
void use_single_threaded_blas() {
  static std::once_flag once;
  std::call_once(once, [] { scipy_openblas_set_num_threads(1); });
}

// Tile edge of the blocked mirror: a tile of each triangle stays in cache.
constexpr std::uint64_t kMirrorTile = 64;

// Copies the strict upper triangle of the s x s block onto the lower one.
void mirror_upper(float* block, std::uint64_t s) {
  for (std::uint64_t ib = 0; ib < s; ib += kMirrorTile) {
    const std::uint64_t i_end = std::min(s, ib + kMirrorTile);
    for (std::uint64_t jb = ib; jb < s; jb += kMirrorTile) {
      const std::uint64_t j_end = std::min(s, jb + kMirrorTile);
      for (std::uint64_t i = ib; i < i_end; ++i)
        for (std::uint64_t j = std::max(jb, i + 1); j < j_end; ++j) block[j * s + i] = block[i * s + j];
    }
  }
}

bool nearer(const Candidate& a, const Candidate& b) {
  return a.dist < b.dist || (a.dist == b.dist && a.id < b.id);
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
  for (std::uint64_t i = 0; i < s; ++i) {
    if (d != 0) std::memcpy(scratch.rows.data() + i * d, dataset.row(leaf[i]), d * sizeof(float));
    scratch.norms[i] = d != 0 ? dataset.norms()[leaf[i]] : 0.0f;
  }

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

  const float* q = scratch.norms.data();
  for (std::uint64_t i = 0; i < s; ++i) {
    float* row = g + i * s;
    row[i] = 0.0f;
    for (std::uint64_t j = i + 1; j < s; ++j) {
      const float v = (q[j] + q[i]) - (row[j] + row[j]);
      row[j] = v > 0.0f ? v : 0.0f;  // also maps NaN to 0
    }
  }
  mirror_upper(g, s);
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

  auto& cands = scratch.candidates;
  for (std::uint64_t i = 0; i < s; ++i) {
    const std::uint32_t u = leaf[i];
    const float* row = scratch.block.data() + i * s;
    cands.clear();
    for (std::uint64_t j = 0; j < s; ++j) {
      if (j != i) cands.push_back({leaf[j], row[j]});
    }
    if (cands.size() > k) {
      std::nth_element(cands.begin(), cands.begin() + static_cast<std::ptrdiff_t>(k), cands.end(),
                       [](const Candidate& a, const Candidate& b) { return a.dist < b.dist; });
      cands.resize(k);
    }
    std::sort(cands.begin(), cands.end(), nearer);

    std::lock_guard<std::mutex> lock(reservoirs.locks[u]);
    hashprune::Reservoir& reservoir = reservoirs.reservoirs[u];
    for (const Candidate& c : cands) reservoir.insert(c.id, hyperplanes.code(projections, u, c.id), c.dist);
  }
}

}  // namespace velnor::leaf
