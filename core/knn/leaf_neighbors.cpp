#include "core/knn/leaf_neighbors.hpp"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/blas.hpp"
#include "core/copy_rows.hpp"
#include "core/cpu.hpp"
#include "core/parallel.hpp"
#include "core/simd.hpp"

namespace velnor::knn {

namespace {

constexpr std::uint64_t kBarSamples = 64;

constexpr auto nearer = [](const Candidate& a, const Candidate& b) { return a.dist < b.dist; };

// The members' picks during one leaf's pass over its Gram triangle. Each
// member keeps the leaf-mates below its bar; when its slots fill up they are
// cut to the k nearest and the bar drops to the k-th of those.
class Picks {
 public:
  Picks(LeafBuffers& buf, std::uint64_t s, std::uint64_t k)
      : buf_(buf), k_(k), room_(4 * k + 16) {
    buf.held.assign(s, 0);
    buf.picks.resize(s * room_);
  }

  float* bars() { return buf_.bars.data(); }
  std::uint64_t room() const { return room_; }

  void add(std::uint64_t member, std::uint32_t mate, float dist) {
    Candidate* slots = buf_.picks.data() + member * room_;
    std::uint32_t& held = buf_.held[member];
    slots[held++] = Candidate{mate, dist};
    if (held == room_) {
      std::nth_element(slots, slots + (k_ - 1), slots + held, nearer);
      held = static_cast<std::uint32_t>(k_);
      buf_.bars[member] = slots[k_ - 1].dist;
      for (std::uint64_t t = 0; t + 1 < k_; ++t)
        buf_.bars[member] = std::max(buf_.bars[member], slots[t].dist);
    }
  }

  std::uint64_t held(std::uint64_t member) const { return buf_.held[member]; }
  std::span<const Candidate> all(std::uint64_t member) const {
    return {buf_.picks.data() + member * room_, buf_.held[member]};
  }

 private:
  LeafBuffers& buf_;
  std::uint64_t k_;
  std::uint64_t room_;
};

inline float pair_dist(const float* q, const float* gram, std::uint64_t s, std::uint64_t i,
                       std::uint64_t j) {
  const std::uint64_t lo = std::min(i, j), hi = std::max(i, j);
  const float g = gram[lo * s + hi];
  const float v = (q[i] + q[j]) - (g + g);
  return v > 0.0f ? v : 0.0f;
}

// Row i's pass over its part of the upper triangle, from column j on: each
// pair goes to either side whose bar it beats.
void scan_row_plain(const float* q, const float* g, std::uint64_t s, std::uint64_t i,
                    std::uint64_t j, Picks& picks) {
  float* bars = picks.bars();
  for (; j < s; ++j) {
    const float v = (q[i] + q[j]) - (g[j] + g[j]);
    const float dist = v > 0.0f ? v : 0.0f;
    if (dist < bars[i]) picks.add(i, static_cast<std::uint32_t>(j), dist);
    if (dist < bars[j]) picks.add(j, static_cast<std::uint32_t>(i), dist);
  }
}

// The lanes of a vector step starting at column j that beat a bar when the
// step began. Bars only fall, so each lane is checked again, in column order,
// against the bars as they are now: the picks are those of the plain scan.
inline void offer_lanes(std::uint64_t mask, const float* lane, std::uint64_t i, std::uint64_t j,
                        Picks& picks) {
  float* bars = picks.bars();
  while (mask != 0) {
    const unsigned t = static_cast<unsigned>(__builtin_ctzll(mask));
    mask &= mask - 1;
    const std::uint64_t jj = j + t;
    if (lane[t] < bars[i]) picks.add(i, static_cast<std::uint32_t>(jj), lane[t]);
    if (lane[t] < bars[jj]) picks.add(jj, static_cast<std::uint32_t>(i), lane[t]);
  }
}

__attribute__((target("avx2"))) void scan_row_avx2(const float* q, const float* g, std::uint64_t s,
                                                   std::uint64_t i, Picks& picks) {
  const float* bars = picks.bars();
  const __m256 qi = _mm256_set1_ps(q[i]);
  const __m256 zero = _mm256_setzero_ps();
  std::uint64_t j = i + 1;
  for (; j + 8 <= s; j += 8) {
    const __m256 gj = _mm256_loadu_ps(g + j);
    const __m256 v = _mm256_sub_ps(_mm256_add_ps(qi, _mm256_loadu_ps(q + j)), _mm256_add_ps(gj, gj));
    const __m256 dist = _mm256_max_ps(v, zero);
    const __m256 below_i = _mm256_cmp_ps(dist, _mm256_set1_ps(bars[i]), _CMP_LT_OQ);
    const __m256 below_j = _mm256_cmp_ps(dist, _mm256_loadu_ps(bars + j), _CMP_LT_OQ);
    const auto mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_or_ps(below_i, below_j)));
    if (mask == 0) continue;
    alignas(32) float lane[8];
    _mm256_store_ps(lane, dist);
    offer_lanes(mask, lane, i, j, picks);
  }
  scan_row_plain(q, g, s, i, j, picks);
}

__attribute__((target("avx512f"))) void scan_row_avx512(const float* q, const float* g,
                                                       std::uint64_t s, std::uint64_t i,
                                                       Picks& picks) {
  const float* bars = picks.bars();
  const __m512 qi = _mm512_set1_ps(q[i]);
  const __m512 zero = _mm512_setzero_ps();
  std::uint64_t j = i + 1;
  for (; j + 16 <= s; j += 16) {
    const __m512 gj = _mm512_loadu_ps(g + j);
    const __m512 v = _mm512_sub_ps(_mm512_add_ps(qi, _mm512_loadu_ps(q + j)), _mm512_add_ps(gj, gj));
    const __m512 dist = _mm512_max_ps(v, zero);
    const __mmask16 mask =
        _mm512_cmp_ps_mask(dist, _mm512_set1_ps(bars[i]), _CMP_LT_OQ) |
        _mm512_cmp_ps_mask(dist, _mm512_loadu_ps(bars + j), _CMP_LT_OQ);
    if (mask == 0) continue;
    alignas(64) float lane[16];
    _mm512_store_ps(lane, dist);
    offer_lanes(mask, lane, i, j, picks);
  }
  scan_row_plain(q, g, s, i, j, picks);
}

// A first bar for each member. One whose list is full already needs no mate
// beyond the list's bar (ties at the bar may still enter, by id). The others
// get a guess from an even sample of their leaf-mates, about twice k of which
// should fall below it; with small leaves every mate is kept.
void first_bars(const float* q, const float* gram, std::uint64_t s, std::uint64_t k,
                std::uint64_t room, const NeighborLists& lists, std::span<const std::uint32_t> leaf,
                LeafBuffers& buf) {
  const float open = std::numeric_limits<float>::infinity();
  buf.bars.resize(s);
  buf.guessed.resize(s);
  const std::uint64_t rank =
      std::min<std::uint64_t>(kBarSamples - 1, (2 * (k + 1) * kBarSamples) / s + 2);
  float sample[kBarSamples];
  for (std::uint64_t i = 0; i < s; ++i) {
    const float list_bar = lists.bar(leaf[i]);
    buf.guessed[i] = list_bar == open;
    if (!buf.guessed[i] || s <= room) {
      buf.bars[i] = std::nextafter(list_bar, open);
      continue;
    }
    for (std::uint64_t t = 0; t < kBarSamples; ++t) {
      const std::uint64_t j = (t * s) / kBarSamples + (i % std::max<std::uint64_t>(s / kBarSamples, 1));
      sample[t] = j == i ? open : pair_dist(q, gram, s, i, j);
    }
    std::nth_element(sample, sample + rank, sample + kBarSamples);
    buf.bars[i] = sample[rank];
  }
}

}  // namespace

std::vector<float> squared_norms(const float* rows, std::uint64_t n, std::uint64_t dim) {
  std::vector<float> norms(n);
  parallel_for(
      n,
      [&](std::size_t i) {
        const float* row = rows + i * dim;
        float s = 0.0f;
        for (std::uint64_t k = 0; k < dim; ++k) s = s + row[k] * row[k];
        norms[i] = s;
      },
      {.chunk = 1024});
  return norms;
}

void offer_leaf_neighbors(const RowSet& set, std::span<const std::uint32_t> leaf, std::uint64_t k,
                          NeighborLists& lists, LeafBuffers& buf) {
  const std::uint64_t s = leaf.size(), dim = set.dim;
  if (s < 2 || k == 0) return;
  k = std::min(k, s - 1);
  buf.rows.resize(s * dim);
  buf.norms.resize(s);
  copy_rows(set.rows, dim, leaf, buf.rows.data());
  for (std::uint64_t i = 0; i < s; ++i) buf.norms[i] = set.norms[leaf[i]];
  buf.gram.resize(s * s);
  use_single_threaded_blas();
  const auto si = static_cast<blasint>(s), di = static_cast<blasint>(dim);
  scipy_cblas_ssyrk(CblasRowMajor, CblasUpper, CblasNoTrans, si, di, 1.0f, buf.rows.data(), di,
                    0.0f, buf.gram.data(), si);

  const float* q = buf.norms.data();
  const float* gram = buf.gram.data();
  Picks picks(buf, s, k);
  first_bars(q, gram, s, k, picks.room(), lists, leaf, buf);
  const bool avx512 = cpu_has_avx512f(), avx2 = cpu_has_avx2();
  for (std::uint64_t i = 0; i < s; ++i) {
    if (avx512) {
      scan_row_avx512(q, gram + i * s, s, i, picks);
    } else if (avx2) {
      scan_row_avx2(q, gram + i * s, s, i, picks);
    } else {
      scan_row_plain(q, gram + i * s, s, i, i + 1, picks);
    }
  }

  for (std::uint64_t i = 0; i < s; ++i) {
    // Only what can still enter the member's list is ranked and goes through
    // its lock: the k nearest of those are the k nearest picks that could.
    const float bar = lists.bar(leaf[i]);
    buf.chosen.clear();
    if (picks.held(i) < k && buf.guessed[i]) {
      // The guessed bar was too tight for this member: rank all its mates.
      for (std::uint64_t j = 0; j < s; ++j) {
        if (j == i) continue;
        const float dist = pair_dist(q, gram, s, i, j);
        if (!(dist > bar)) buf.chosen.push_back({static_cast<std::uint32_t>(j), dist});
      }
    } else {
      for (const Candidate& c : picks.all(i))
        if (!(c.dist > bar)) buf.chosen.push_back(c);
    }
    if (buf.chosen.size() > k) {
      std::nth_element(buf.chosen.begin(), buf.chosen.begin() + static_cast<std::ptrdiff_t>(k - 1),
                       buf.chosen.end(), nearer);
      buf.chosen.resize(k);
    }
    for (Candidate& c : buf.chosen) c.id = leaf[c.id];
    lists.offer(leaf[i], buf.chosen);
  }
}

}  // namespace velnor::knn
