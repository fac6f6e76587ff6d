#include "core/search/beam_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/distance.hpp"
#include "core/error.hpp"

namespace velnor {

Scratch::Scratch(std::uint64_t n) : expanded(n, 0), visited(n, 0) { touched.reserve(256); }

namespace {

constexpr const char* kNanDistance =
    "NaN distance in beam search: the query or a data row holds NaN or infinity";

// Clears the flags of every node the query set, on return and on failure, so
// the scratch is ready for the worker's next query.
class ScratchReset {
 public:
  explicit ScratchReset(Scratch& scratch) : scratch_(scratch) {}
  ~ScratchReset() {
    for (const std::uint32_t id : scratch_.touched) {
      scratch_.expanded[id] = 0;
      scratch_.visited[id] = 0;
    }
    scratch_.touched.clear();
  }
  ScratchReset(const ScratchReset&) = delete;
  ScratchReset& operator=(const ScratchReset&) = delete;

 private:
  Scratch& scratch_;
};

bool nearer(const Candidate& a, const Candidate& b) { return a.dist < b.dist; }

// The candidate list: ascending by distance, at most `width` entries between
// steps, storage for width + 1 so an insertion never reallocates.
class BeamList {
 public:
  static constexpr std::size_t kRejected = SIZE_MAX;

  BeamList(std::uint64_t width, std::size_t seeds, Scratch& scratch)
      : width_(width), scratch_(scratch) {
    items_.reserve(std::max<std::size_t>(width + 1, seeds));
  }

  void add_seed(std::uint32_t id, float dist) {
    if (std::isnan(dist)) throw Error(kNanDistance);
    items_.push_back({id, dist});
    mark(id);
  }

  // Orders the seeds, equal distances in seed order, and drops those beyond
  // the width.
  void settle_seeds() {
    std::stable_sort(items_.begin(), items_.end(), nearer);
    while (items_.size() > width_) evict_last();
  }

  // Offers a neighbour at distance `dist`. A full list takes it only when it
  // is strictly nearer than the worst entry; it goes after every entry at the
  // same or a smaller distance. Returns the position it took, or kRejected.
  std::size_t offer(std::uint32_t id, float dist) {
    if (std::isnan(dist)) throw Error(kNanDistance);
    if (items_.size() == width_ && !(dist < items_.back().dist)) {
      rule_out(id);
      return kRejected;
    }
    const auto at = std::upper_bound(items_.begin(), items_.end(), Candidate{id, dist}, nearer);
    const std::size_t pos = static_cast<std::size_t>(at - items_.begin());
    items_.insert(at, {id, dist});
    mark(id);
    if (items_.size() > width_) evict_last();
    return pos;
  }

  std::size_t size() const { return items_.size(); }
  std::uint32_t id_at(std::size_t pos) const { return items_[pos].id; }
  std::vector<Candidate> release() { return std::move(items_); }

 private:
  void mark(std::uint32_t id) {
    scratch_.visited[id] = Scratch::kInList;
    scratch_.touched.push_back(id);
  }
  // A full list's worst distance never grows, so a node it refused or
  // evicted could never enter again: flagging it spares the distance a later
  // visit would compute only to be refused.
  void rule_out(std::uint32_t id) {
    scratch_.visited[id] = Scratch::kRuledOut;
    scratch_.touched.push_back(id);
  }
  void evict_last() {
    scratch_.visited[items_.back().id] = Scratch::kRuledOut;
    items_.pop_back();
  }

  std::uint64_t width_;
  Scratch& scratch_;
  std::vector<Candidate> items_;
};

// Up to four neighbour ids, not in the list when gathered.
struct Group {
  std::uint32_t ids[4];
  std::size_t size = 0;
};

// Walks one node's neighbour list, handing out the ids not in the list in
// groups of four and prefetching each group's rows as it is formed.
class NeighbourGroups {
 public:
  NeighbourGroups(std::span<const std::uint32_t> nbrs, const std::uint8_t* visited,
                  std::uint64_t n)
      : nbrs_(nbrs), visited_(visited), n_(n) {}

  Group next(const float* base, std::uint64_t d) {
    Group group;
    while (pos_ < nbrs_.size() && group.size < 4) {
      const std::uint32_t v = nbrs_[pos_++];
      VELNOR_ASSERT(v < n_, "beam search: neighbour id out of range");
      if (visited_[v]) continue;
      __builtin_prefetch(base + std::uint64_t{v} * d);
      group.ids[group.size++] = v;
    }
    return group;
  }

 private:
  std::span<const std::uint32_t> nbrs_;
  const std::uint8_t* visited_;
  std::uint64_t n_;
  std::size_t pos_ = 0;
};

}  // namespace

std::vector<Candidate> beam_search(const Dataset& dataset, const Graph& graph,
                                   std::span<const std::uint32_t> seeds, const float* query,
                                   std::uint64_t L, Scratch& scratch) {
  const std::uint64_t n = dataset.n();
  const std::uint64_t d = dataset.d();
  VELNOR_ASSERT(graph.size() == n, "beam search: graph and dataset sizes differ");
  VELNOR_ASSERT(scratch.visited.size() == n && scratch.expanded.size() == n,
                "beam search: scratch is not sized for the dataset");
  // The list never holds more than the n distinct nodes, so a wider beam
  // behaves exactly as one of width n.
  const std::uint64_t width = std::min(L, n);
  if (width == 0 || seeds.empty()) return {};

  ScratchReset reset(scratch);
  std::uint8_t* const visited = scratch.visited.data();
  std::uint8_t* const expanded = scratch.expanded.data();
  const float* const base = dataset.data();

  BeamList list(width, seeds.size(), scratch);
  for (const std::uint32_t seed : seeds) {
    VELNOR_ASSERT(seed < n, "beam search: seed id out of range");
    if (visited[seed]) continue;
    list.add_seed(seed, sq_l2(query, base + seed * d, d));
  }
  list.settle_seeds();

  // Every entry before `first` is expanded. An insertion at a position below
  // it moves it back, so the search always continues from the nearest
  // unexpanded entry, exactly as a scan from the head would.
  std::size_t first = 0;
  for (;;) {
    while (first < list.size() && expanded[list.id_at(first)]) ++first;
    if (first == list.size()) break;
    const std::uint32_t node = list.id_at(first);
    expanded[node] = 1;
    std::size_t next = first + 1;

    // The neighbours not in the list, in stored order, in groups of four
    // whose distances are computed together; the next group's rows are
    // fetched while the current group is computed. Offering the group's
    // distances one by one in order gives the list a one-at-a-time walk
    // would: a neighbour evicted meanwhile could not re-enter anyway, and a
    // neighbour inserted or refused meanwhile (an id listed twice) is skipped
    // here.
    NeighbourGroups groups(graph.neighbors_of(node), visited, n);
    Group current = groups.next(base, d);
    while (current.size > 0) {
      const Group following = groups.next(base, d);
      float dist[4];
      if (current.size == 4) {
        const float* rows[4] = {base + std::uint64_t{current.ids[0]} * d,
                                base + std::uint64_t{current.ids[1]} * d,
                                base + std::uint64_t{current.ids[2]} * d,
                                base + std::uint64_t{current.ids[3]} * d};
        sq_l2_x4(query, rows, d, dist);
      } else {
        for (std::size_t t = 0; t < current.size; ++t) {
          dist[t] = sq_l2(query, base + std::uint64_t{current.ids[t]} * d, d);
        }
      }
      for (std::size_t t = 0; t < current.size; ++t) {
        if (visited[current.ids[t]]) continue;
        next = std::min(next, list.offer(current.ids[t], dist[t]));
      }
      current = following;
    }
    first = next;
  }
  return list.release();
}

}  // namespace velnor
