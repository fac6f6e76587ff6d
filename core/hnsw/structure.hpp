#pragma once
// Shape of the HNSW graph: the random level of every node, the neighbour cap
// of each layer, the neighbour-selection heuristic that decides every list,
// the lock-guarded lists used while the graph is built concurrently, and the
// frozen graph the queries read.
//
// Node i lives on layers 0 .. level(i); layer 0 holds every node. Each node
// has one neighbour list per layer it lives on.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/candidate.hpp"
#include "core/error.hpp"

namespace velnor {

constexpr std::uint64_t kHnswMaxLevel = 24;
// Mixed into the caller's seed so that the level draw has a stream of its own.
constexpr std::uint64_t kHnswLevelSeedSalt = 0x484E5357;

// level[i] for i = 0 .. n-1: one 64-bit draw u per node, in node order, from a
// ChaCha8 generator seeded with seed ^ kHnswLevelSeedSalt; then
// min(24, floor(-ln(max(u, 1e-12)) / ln(m))), saturating at 0 for negatives.
// m = 1 puts every node on level 24, m = 0 every node on level 0.
std::vector<std::uint64_t> draw_levels(std::uint64_t n, std::uint64_t m, std::uint64_t seed);

// Neighbour cap of a layer: 2m on layer 0, m above.
inline std::uint64_t layer_cap(std::uint64_t m, std::uint64_t layer) {
  return layer == 0 ? m << 1 : m;
}

// Sorts ascending by distance, ties by id, stably. A NaN distance cannot be
// ordered and fails with velnor::Error.
void sort_candidates(std::span<Candidate> candidates);

// The candidate with the smallest distance, the first one among equals.
// Fails with velnor::Error on a NaN distance or an empty list.
std::uint32_t nearest_candidate(std::span<const Candidate> candidates);

// Chooses at most `cap` neighbours of `owner` from `candidates` (reordered in
// place). Walking the candidates by ascending (distance, id), the owner is
// skipped and a candidate v at distance dv is kept unless some already kept r
// has dist(r, v) < dv (or the comparison is unordered). Rejected candidates
// are dropped; the walk stops once cap ids are kept.
template <class Dist>
std::vector<std::uint32_t> select_neighbors(const Dist& dist, std::uint64_t owner,
                                            std::vector<Candidate>& candidates,
                                            std::uint64_t cap) {
  sort_candidates(candidates);
  std::vector<std::uint32_t> kept;
  kept.reserve(std::min<std::uint64_t>(cap, candidates.size()));
  for (const Candidate& c : candidates) {
    if (c.id == owner) continue;
    if (kept.size() >= cap) break;
    const bool diverse = std::all_of(kept.begin(), kept.end(), [&](std::uint32_t r) {
      return dist(r, c.id) >= c.dist;  // false for a NaN as well
    });
    if (diverse) kept.push_back(c.id);
  }
  return kept;
}

// The frozen graph: plain lists, read by any number of searches without locks.
struct Hnsw {
  // Node i's lists are lists first_list[i] .. first_list[i+1]-1, one per layer.
  std::vector<std::uint64_t> first_list{0};
  // List j holds ids[list_start[j] .. list_start[j+1]).
  std::vector<std::uint64_t> list_start{0};
  std::vector<std::uint32_t> ids;
  std::uint64_t entry_level = 0;  // level of the entry node
  std::uint32_t entry = 0;        // where every search starts

  std::uint64_t size() const { return first_list.size() - 1; }
  std::uint64_t level(std::uint64_t node) const {
    return first_list[node + 1] - first_list[node] - 1;
  }

  // Node's list on a layer it lives on.
  std::span<const std::uint32_t> neighbors(std::uint32_t node, std::uint64_t layer) const;

  // A copy of that list, as a search takes it.
  std::vector<std::uint32_t> copy_list(std::uint32_t node, std::uint64_t layer) const {
    const auto list = neighbors(node, layer);
    return {list.begin(), list.end()};
  }

  // A graph with the given lists, links[node][layer], for tests and tools.
  static Hnsw from_lists(const std::vector<std::vector<std::vector<std::uint32_t>>>& links,
                         std::uint32_t entry, std::uint64_t entry_level);

  // Builds the graph over rows 0 .. n-1 under a node distance (ExactDistance or
  // CodeDistance) by concurrent insertion on the current pool.
  template <class Dist>
  static Hnsw build(const Dist& dist, std::uint64_t n, std::uint64_t m,
                    std::uint64_t ef_construction, std::uint64_t seed);
};

// The lists while the graph is built: the shape (nodes, layers per node) is
// fixed at construction, each list sits behind its own mutex.
class BuildLinks {
 public:
  explicit BuildLinks(std::span<const std::uint64_t> levels);

  std::uint64_t size() const { return first_list_.size() - 1; }

  // A copy of node's list on the layer, taken under the list's mutex (held
  // for the copy only).
  std::vector<std::uint32_t> copy_list(std::uint32_t node, std::uint64_t layer) const;

  // Replaces node's list on the layer by ids.
  void replace(std::uint32_t node, std::uint64_t layer, const std::vector<std::uint32_t>& ids);

  // Runs f(list) with node's list on the layer locked.
  template <class F>
  void update(std::uint32_t node, std::uint64_t layer, F&& f) {
    LockedList& list = list_of(node, layer);
    std::lock_guard<std::mutex> guard(list.mutex);
    f(list.ids);
  }

  // Moves every list out of its mutex into a frozen graph.
  Hnsw freeze(std::uint32_t entry, std::uint64_t entry_level) &&;

 private:
  struct LockedList {
    std::mutex mutex;
    std::vector<std::uint32_t> ids;
  };

  LockedList& list_of(std::uint32_t node, std::uint64_t layer) const;

  std::vector<std::uint64_t> first_list_;  // as in Hnsw
  std::unique_ptr<LockedList[]> lists_;
};

// The entry node and its level while the graph is built, behind one
// reader-writer lock. Its level only rises.
class EntryRecord {
 public:
  EntryRecord(std::uint32_t node, std::uint64_t level) : node_(node), level_(level) {}

  std::pair<std::uint32_t, std::uint64_t> read() const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return {node_, level_};
  }

  // Makes node the entry when its level is above the stored one.
  void raise(std::uint32_t node, std::uint64_t level) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    if (level > level_) {
      node_ = node;
      level_ = level;
    }
  }

 private:
  mutable std::shared_mutex mutex_;
  std::uint32_t node_;
  std::uint64_t level_;
};

// Fails with "<what> <index> out of range (length <length>)".
[[noreturn]] void fail_index(const char* what, std::uint64_t index, std::uint64_t length);

}  // namespace velnor
