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
    sq_l2_each(
        selected, pending.size(), d, [&](std::size_t p) { return dataset.row(cands[pending[p]].id); },
        [&](std::size_t p, float dist) {
          if (cands[pending[p]].dist > alpha2 * dist) alive[pending[p]] = 0;
        });
  }
  return kept;
}

}  // namespace velnor
