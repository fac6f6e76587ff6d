#include "core/robust_prune.hpp"

#include <algorithm>
#include <cmath>

#include "core/distance.hpp"
#include "core/error.hpp"

namespace velnor {

std::vector<std::uint32_t> robust_prune(const Dataset& dataset, std::uint32_t node,
                                        std::vector<Candidate>& cands, std::uint64_t r,
                                        float alpha) {
  std::vector<std::uint32_t> kept;
  kept.reserve(r);
  for (const Candidate& c : cands) {
    VELNOR_ASSERT(!std::isnan(c.dist), "NaN distance in RobustPrune: input holds NaN or infinity");
  }
  std::sort(cands.begin(), cands.end(), [](const Candidate& a, const Candidate& b) {
    return a.dist < b.dist || (a.dist == b.dist && a.id < b.id);
  });
  std::erase_if(cands, [node](const Candidate& c) { return c.id == node; });
  if (cands.empty() || r == 0) return kept;

  const float alpha2 = alpha * alpha;
  const std::uint64_t d = dataset.d();
  std::vector<unsigned char> alive(cands.size(), 1);
  std::vector<std::size_t> pending;  // alive candidates after the selected one
  pending.reserve(cands.size());
  for (std::size_t i = 0; i < cands.size() && kept.size() < r; ++i) {
    if (!alive[i]) continue;
    kept.push_back(cands[i].id);
    if (kept.size() == r) break;  // nothing later can be selected
    const float* selected = dataset.row(cands[i].id);

    pending.clear();
    for (std::size_t j = i + 1; j < cands.size(); ++j)
      if (alive[j]) pending.push_back(j);
    // Four distances at a time, bit-identical to single sq_l2 calls.
    std::size_t p = 0;
    for (; p + 4 <= pending.size(); p += 4) {
      const float* rows[4];
      for (int t = 0; t < 4; ++t) rows[t] = dataset.row(cands[pending[p + t]].id);
      float dist[4];
      sq_l2_x4(selected, rows, d, dist);
      for (int t = 0; t < 4; ++t)
        if (cands[pending[p + t]].dist > alpha2 * dist[t]) alive[pending[p + t]] = 0;
    }
    for (; p < pending.size(); ++p) {
      const Candidate& c = cands[pending[p]];
      if (c.dist > alpha2 * sq_l2(selected, dataset.row(c.id), d)) alive[pending[p]] = 0;
    }
  }
  return kept;
}

}  // namespace velnor
