#pragma once
// Best-first search of one HNSW layer from an entry node, for a query that is
// itself a base row. Written once over the node distance (ExactDistance or
// CodeDistance) and the lists it reads (BuildLinks while building, each list
// copied under its mutex; Hnsw once frozen, copied without a lock).
#include <bit>
#include <cstdint>
#include <vector>

#include "core/candidate.hpp"
#include "core/hnsw/structure.hpp"

namespace velnor {

// One mark per node: a node is visited in the current search when its mark
// equals the generation. Starting a search only advances the generation; the
// marks are cleared once every 2^32 - 1 searches, when it wraps to 0.
class VisitedMarks {
 public:
  // `generation` lets tests start close to the wrap.
  explicit VisitedMarks(std::uint64_t size, std::uint32_t generation = 0)
      : marks_(size, 0), generation_(generation) {}

  void next_search() {
    if (++generation_ == 0) {
      std::fill(marks_.begin(), marks_.end(), 0);
      generation_ = 1;
    }
  }

  // Marks the node; true when it was not yet visited in this search.
  bool mark(std::uint32_t node) {
    if (node >= marks_.size()) fail_index("HNSW node", node, marks_.size());
    if (marks_[node] == generation_) return false;
    marks_[node] = generation_;
    return true;
  }

  bool visited(std::uint32_t node) const { return marks_[node] == generation_; }
  std::uint32_t generation() const { return generation_; }

 private:
  std::vector<std::uint32_t> marks_;
  std::uint32_t generation_;
};

// A (distance, id) pair ordered by the distance's bit pattern read as an
// unsigned integer, then by id. For the non-negative distances of the node
// distances this is the numeric order; a NaN orders above +infinity.
struct SearchElement {
  float dist;
  std::uint32_t id;
};

inline std::uint32_t distance_key(float d) { return std::bit_cast<std::uint32_t>(d); }

inline bool element_less(const SearchElement& a, const SearchElement& b) {
  const std::uint32_t ka = distance_key(a.dist), kb = distance_key(b.dist);
  return ka < kb || (ka == kb && a.id < b.id);
}

// Binary heap in a growable array: a max-heap of elements, or a min-heap when
// kMin. Push appends and sifts up; pop moves the last element to the root,
// sifts it down to the bottom along the child that is not below the other
// (the right one when they are equal), then sifts it up. These mechanics fix
// the array order, which callers see for ties.
template <bool kMin>
class ElementHeap {
 public:
  bool empty() const { return items_.empty(); }
  std::size_t size() const { return items_.size(); }
  const SearchElement& top() const { return items_.front(); }
  const std::vector<SearchElement>& items() const { return items_; }
  void clear() { items_.clear(); }

  void push(SearchElement e) {
    items_.push_back(e);
    sift_up(items_.size() - 1);
  }

  SearchElement pop() {
    const SearchElement top = items_.front();
    const SearchElement last = items_.back();
    items_.pop_back();
    if (!items_.empty()) {
      items_.front() = last;
      sift_down_to_bottom(0);
    }
    return top;
  }

 private:
  // True when a belongs strictly above b.
  static bool above(const SearchElement& a, const SearchElement& b) {
    return kMin ? element_less(a, b) : element_less(b, a);
  }

  void sift_up(std::size_t pos) {
    const SearchElement e = items_[pos];
    while (pos > 0) {
      const std::size_t parent = (pos - 1) / 2;
      if (!above(e, items_[parent])) break;
      items_[pos] = items_[parent];
      pos = parent;
    }
    items_[pos] = e;
  }

  void sift_down_to_bottom(std::size_t pos) {
    const SearchElement e = items_[pos];
    const std::size_t end = items_.size();
    std::size_t child = 2 * pos + 1;
    while (child + 1 < end) {
      if (!above(items_[child], items_[child + 1])) ++child;
      items_[pos] = items_[child];
      pos = child;
      child = 2 * pos + 1;
    }
    if (child + 1 == end) {
      items_[pos] = items_[child];
      pos = child;
    }
    items_[pos] = e;
    sift_up(pos);
  }

  std::vector<SearchElement> items_;
};

// dist(q, ids[i]) for every i into out, four at a time.
template <class Dist>
void distances_from(const Dist& dist, std::uint64_t q, const std::uint32_t* ids, std::size_t count,
                    float* out) {
  for (std::size_t i = 0; i < count; ++i) dist.prefetch(ids[i]);
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const std::uint64_t b[4] = {ids[i], ids[i + 1], ids[i + 2], ids[i + 3]};
    dist.x4(q, b, out + i);
  }
  for (; i < count; ++i) out[i] = dist(q, ids[i]);
}

// Searches one layer from `entry` for the nearest nodes to row q and returns
// at most max(ef, 1) of them as (id, distance), in the result heap's array
// order (not sorted). A node is admitted while fewer than ef are held or when
// it is strictly nearer than the farthest held; expansion stops at a
// candidate farther than the farthest held once ef are held. Every node's
// distance is computed at most once: reached nodes are marked.
template <class Dist, class Links>
std::vector<Candidate> search_layer(const Dist& dist, std::uint64_t q, std::uint32_t entry,
                                    std::uint64_t ef, std::uint64_t layer, const Links& links,
                                    VisitedMarks& marks) {
  const std::uint64_t limit = ef == 0 ? 1 : ef;
  ElementHeap<true> queue;     // candidates to expand, nearest on top
  ElementHeap<false> results;  // best found so far, farthest on top
  std::vector<std::uint32_t> fresh;  // ids of the expanded list not visited before
  std::vector<float> fresh_dist;     // their distances from q
  marks.next_search();
  marks.mark(entry);
  const SearchElement first{dist(q, entry), entry};
  queue.push(first);
  results.push(first);
  while (!queue.empty()) {
    const SearchElement next = queue.pop();
    if (results.size() >= limit && distance_key(next.dist) > distance_key(results.top().dist)) {
      break;
    }
    // Marking the whole list before computing any distance changes nothing:
    // admission never looks at the marks.
    fresh.clear();
    for (const std::uint32_t e : links.copy_list(next.id, layer)) {
      if (marks.mark(e)) fresh.push_back(e);
    }
    fresh_dist.resize(fresh.size());
    distances_from(dist, q, fresh.data(), fresh.size(), fresh_dist.data());
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      const float d = fresh_dist[i];
      if (results.size() >= limit && distance_key(results.top().dist) <= distance_key(d)) continue;
      queue.push({d, fresh[i]});
      results.push({d, fresh[i]});
      if (results.size() > limit) results.pop();
    }
  }
  std::vector<Candidate> out;
  out.reserve(results.size());
  for (const SearchElement& e : results.items()) out.push_back({e.id, e.dist});
  return out;
}

}  // namespace velnor
