#include "core/search/beam_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/prefetch.hpp"

namespace velnor {

SearchView::SearchView(const Dataset& dataset, const Graph& graph)
    : rows(dataset.data()),
      n(dataset.n()),
      d(dataset.d()),
      offsets(graph.offsets.data()),
      neighbors(graph.neighbors.data()) {
  VELNOR_ASSERT(graph.size() == dataset.n(), "beam search: graph and dataset sizes differ");
}

Scratch::Scratch(std::uint64_t n) : marks_(n, 0), stamp_(0) {}

void Scratch::next_query() {
  // The last stamp that leaves room for every state above it in 16 bits.
  constexpr std::uint16_t kLastStamp = 0xFFFF - kRuledOut;
  if (stamp_ > kLastStamp - 4) {
    std::fill(marks_.begin(), marks_.end(), std::uint16_t{0});
    stamp_ = 0;
  }
  stamp_ = static_cast<std::uint16_t>(stamp_ + 4);
}

namespace {

constexpr const char* kNanDistance =
    "NaN distance in beam search: the query or a data row holds NaN or infinity";

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
    scratch_.set(id, Scratch::kInList);
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
  // A full list's worst distance never grows, so a node it refused or
  // evicted could never enter again: marking it ruled out spares the
  // distance a later visit would compute only to be refused.
  std::size_t offer(std::uint32_t id, float dist) {
    if (std::isnan(dist)) throw Error(kNanDistance);
    if (items_.size() == width_ && !(dist < items_.back().dist)) {
      scratch_.set(id, Scratch::kRuledOut);
      return kRejected;
    }
    const auto at = std::upper_bound(items_.begin(), items_.end(), Candidate{id, dist}, nearer);
    const std::size_t pos = static_cast<std::size_t>(at - items_.begin());
    items_.insert(at, {id, dist});
    scratch_.set(id, Scratch::kInList);
    if (items_.size() > width_) evict_last();
    return pos;
  }

  std::size_t size() const { return items_.size(); }
  std::uint32_t id_at(std::size_t pos) const { return items_[pos].id; }
  std::vector<Candidate> release() { return std::move(items_); }

 private:
  void evict_last() {
    scratch_.set(items_.back().id, Scratch::kRuledOut);
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

// Walks one node's neighbour list, handing out the ids not seen yet in
// groups of four and prefetching each group's rows (every line of them) as
// it is formed.
class NeighbourGroups {
 public:
  // Asks for the marks of every neighbour at once, so that their misses
  // overlap instead of coming one after another.
  NeighbourGroups(std::span<const std::uint32_t> nbrs, const Scratch& scratch, std::uint64_t n)
      : nbrs_(nbrs), scratch_(scratch), n_(n) {
    for (const std::uint32_t v : nbrs_) {
      if (v < n_) __builtin_prefetch(scratch_.marks() + v);
    }
  }

  Group next(const float* base, std::uint64_t d) {
    Group group;
    while (pos_ < nbrs_.size() && group.size < 4) {
      const std::uint32_t v = nbrs_[pos_++];
      VELNOR_ASSERT(v < n_, "beam search: neighbour id out of range");
      if (scratch_.seen(v)) continue;
      prefetch_bytes(base + std::uint64_t{v} * d, d * sizeof(float));
      group.ids[group.size++] = v;
    }
    return group;
  }

 private:
  std::span<const std::uint32_t> nbrs_;
  const Scratch& scratch_;
  std::uint64_t n_;
  std::size_t pos_ = 0;
};

}  // namespace

std::vector<Candidate> beam_search(const SearchView& view, std::span<const std::uint32_t> seeds,
                                   const float* query, std::uint64_t L, Scratch& scratch) {
  const std::uint64_t n = view.n;
  const std::uint64_t d = view.d;
  VELNOR_ASSERT(scratch.size() == n, "beam search: scratch is not sized for the dataset");
  // The list never holds more than the n distinct nodes, so a wider beam
  // behaves exactly as one of width n.
  const std::uint64_t width = std::min(L, n);
  if (width == 0 || seeds.empty()) return {};

  scratch.next_query();
  const float* const base = view.rows;

  BeamList list(width, seeds.size(), scratch);
  for (const std::uint32_t seed : seeds) VELNOR_ASSERT(seed < n, "beam search: seed id out of range");
  // A seed listed twice is measured twice and added once.
  sq_l2_each(
      query, seeds.size(), d, [&](std::size_t j) { return base + std::uint64_t{seeds[j]} * d; },
      [&](std::size_t j, float dist) {
        if (!scratch.seen(seeds[j])) list.add_seed(seeds[j], dist);
      });
  list.settle_seeds();

  // Every entry before `first` is expanded. An insertion at a position below
  // it moves it back, so the search always continues from the nearest
  // unexpanded entry, exactly as a scan from the head would.
  std::size_t first = 0;
  for (;;) {
    while (first < list.size() && scratch.expanded(list.id_at(first))) ++first;
    if (first == list.size()) break;
    const std::uint32_t node = list.id_at(first);
    scratch.set(node, Scratch::kExpanded);
    std::size_t next = first + 1;
    // The entry expanded next, unless this node's neighbours displace it:
    // its neighbour list is fetched while this node's distances are
    // computed.
    for (std::size_t ahead = next; ahead < list.size(); ++ahead) {
      const std::uint32_t candidate = list.id_at(ahead);
      if (scratch.expanded(candidate)) continue;
      __builtin_prefetch(view.neighbors + view.offsets[candidate]);
      break;
    }

    // The neighbours not in the list, in stored order, in groups of four
    // whose distances are computed together; the next group's rows are
    // fetched while the current group is computed. Offering the group's
    // distances one by one in order gives the list a one-at-a-time walk
    // would: a neighbour evicted meanwhile could not re-enter anyway, and a
    // neighbour inserted or refused meanwhile (an id listed twice) is skipped
    // here.
    NeighbourGroups groups(view.neighbors_of(node), scratch, n);
    Group current = groups.next(base, d);
    while (current.size > 0) {
      const Group following = groups.next(base, d);
      float dist[4];
      sq_l2_each(query, current.size, d,
                 [&](std::size_t t) { return base + std::uint64_t{current.ids[t]} * d; }, dist);
      for (std::size_t t = 0; t < current.size; ++t) {
        if (scratch.seen(current.ids[t])) continue;
        next = std::min(next, list.offer(current.ids[t], dist[t]));
      }
      current = following;
    }
    first = next;
  }
  return list.release();
}

std::vector<Candidate> beam_search(const Dataset& dataset, const Graph& graph,
                                   std::span<const std::uint32_t> seeds, const float* query,
                                   std::uint64_t L, Scratch& scratch) {
  return beam_search(SearchView(dataset, graph), seeds, query, L, scratch);
}

}  // namespace velnor
