#include "core/hnsw/structure.hpp"

#include <cmath>
#include <limits>

#include "core/rng.hpp"

namespace velnor {

namespace {

// Double to unsigned with saturation: NaN and negatives give 0, values beyond
// the range give the maximum.
std::uint64_t saturating_u64(double x) {
  if (!(x > 0.0)) return 0;
  if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

bool candidate_before(const Candidate& a, const Candidate& b) {
  return a.dist < b.dist || (a.dist == b.dist && a.id < b.id);
}

}  // namespace

void fail_index(const char* what, std::uint64_t index, std::uint64_t length) {
  throw Error(std::string(what) + " " + std::to_string(index) + " out of range (length " +
              std::to_string(length) + ")");
}

std::vector<std::uint64_t> draw_levels(std::uint64_t n, std::uint64_t m, std::uint64_t seed) {
  ChaCha8 rng(seed ^ kHnswLevelSeedSalt);
  const double mult = 1.0 / std::log(static_cast<double>(m));
  std::vector<std::uint64_t> levels(n);
  for (std::uint64_t i = 0; i < n; ++i) {
    const double u = std::max(rng.uniform_f64(), 1e-12);
    levels[i] = std::min(kHnswMaxLevel, saturating_u64(std::floor(-std::log(u) * mult)));
  }
  return levels;
}

void sort_candidates(std::span<Candidate> candidates) {
  for (const Candidate& c : candidates) {
    VELNOR_ASSERT(!std::isnan(c.dist), "NaN distance in HNSW candidates: input holds NaN or infinity");
  }
  if (candidates.size() <= 20) {
    // Insertion sort: stable, and the fastest for the short lists of pruning.
    for (std::size_t i = 1; i < candidates.size(); ++i) {
      const Candidate c = candidates[i];
      std::size_t j = i;
      for (; j > 0 && candidate_before(c, candidates[j - 1]); --j) candidates[j] = candidates[j - 1];
      candidates[j] = c;
    }
  } else {
    std::stable_sort(candidates.begin(), candidates.end(), candidate_before);
  }
}

std::uint32_t nearest_candidate(std::span<const Candidate> candidates) {
  VELNOR_ASSERT(!candidates.empty(), "HNSW search returned no element");
  const Candidate* best = &candidates[0];
  for (const Candidate& c : candidates) {
    VELNOR_ASSERT(!std::isnan(c.dist), "NaN distance in HNSW search: input holds NaN or infinity");
    if (c.dist < best->dist) best = &c;
  }
  return best->id;
}

std::span<const std::uint32_t> Hnsw::neighbors(std::uint32_t node, std::uint64_t layer) const {
  if (node >= size()) fail_index("HNSW node", node, size());
  if (layer > level(node)) fail_index("HNSW layer", layer, level(node) + 1);
  const std::uint64_t list = first_list[node] + layer;
  return {ids.data() + list_start[list], ids.data() + list_start[list + 1]};
}

Hnsw Hnsw::from_lists(const std::vector<std::vector<std::vector<std::uint32_t>>>& links,
                      std::uint32_t entry, std::uint64_t entry_level) {
  Hnsw g;
  g.entry = entry;
  g.entry_level = entry_level;
  for (const auto& node : links) {
    VELNOR_ASSERT(!node.empty(), "every HNSW node has a layer-0 list");
    for (const auto& list : node) {
      g.ids.insert(g.ids.end(), list.begin(), list.end());
      g.list_start.push_back(g.ids.size());
    }
    g.first_list.push_back(g.list_start.size() - 1);
  }
  return g;
}

BuildLinks::BuildLinks(std::span<const std::uint64_t> levels) {
  first_list_.reserve(levels.size() + 1);
  first_list_.push_back(0);
  for (const std::uint64_t level : levels) first_list_.push_back(first_list_.back() + level + 1);
  lists_ = std::make_unique<LockedList[]>(first_list_.back());
}

BuildLinks::LockedList& BuildLinks::list_of(std::uint32_t node, std::uint64_t layer) const {
  if (node >= size()) fail_index("HNSW node", node, size());
  const std::uint64_t layers = first_list_[node + 1] - first_list_[node];
  if (layer >= layers) fail_index("HNSW layer", layer, layers);
  return lists_[first_list_[node] + layer];
}

std::vector<std::uint32_t> BuildLinks::copy_list(std::uint32_t node, std::uint64_t layer) const {
  LockedList& list = list_of(node, layer);
  std::lock_guard<std::mutex> guard(list.mutex);
  return list.ids;
}

void BuildLinks::replace(std::uint32_t node, std::uint64_t layer,
                         const std::vector<std::uint32_t>& ids) {
  update(node, layer, [&](std::vector<std::uint32_t>& list) { list.assign(ids.begin(), ids.end()); });
}

Hnsw BuildLinks::freeze(std::uint32_t entry, std::uint64_t entry_level) && {
  Hnsw g;
  g.entry = entry;
  g.entry_level = entry_level;
  g.first_list = std::move(first_list_);
  const std::uint64_t lists = g.first_list.back();
  g.list_start.resize(lists + 1);
  for (std::uint64_t j = 0; j < lists; ++j) {
    g.list_start[j + 1] = g.list_start[j] + lists_[j].ids.size();
  }
  g.ids.reserve(g.list_start.back());
  for (std::uint64_t j = 0; j < lists; ++j) {
    std::vector<std::uint32_t> list = std::move(lists_[j].ids);
    g.ids.insert(g.ids.end(), list.begin(), list.end());
  }
  lists_.reset();
  return g;
}

}  // namespace velnor
