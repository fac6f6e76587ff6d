// Concurrent construction of the HNSW graph.
//
// Levels are drawn up front, in node order. Node 0 is the first entry; nodes
// 1 .. n-1 are inserted in parallel. An insertion descends greedily from the
// entry to one layer above its own level, then on each of its layers, top
// down, searches with ef_construction and selects its own list. Only when all
// its lists are set does it link itself into the selected neighbours' lists
// (pruning any that overflow), layer by layer, top down.
//
// Deferring the back-links keeps a node unreachable until its lists are
// complete. Linking right after each layer would let another insertion
// descend onto the node through an upper layer while its layer-0 list is
// still empty: that search would find the node alone, link only to it, and
// the back-link it leaves would be discarded when the node sets its layer-0
// list, leaving the newcomer unreachable. With one worker the order makes no
// difference: a layer's back-links touch only lists of that layer, and the
// search of the layer below reads only its own.
//
// Locks: one mutex per (node, layer) list and a reader-writer lock on the
// entry record. A worker holds at most one of them at any time (the search
// copies a list under its mutex and releases it before computing distances;
// a back-link holds only the neighbour's mutex while it prunes), so there is
// no lock order and no deadlock. With several workers the graph depends on
// timing; with one, nodes go in ascending order and the graph is a function
// of the inputs and the seed.
#include <algorithm>

#include "core/hnsw/node_distance.hpp"
#include "core/hnsw/search_layer.hpp"
#include "core/hnsw/structure.hpp"
#include "core/parallel.hpp"

namespace velnor {

namespace {

template <class Dist>
class Inserter {
 public:
  Inserter(const Dist& dist, std::span<const std::uint64_t> levels, BuildLinks& links,
           EntryRecord& entry, std::uint64_t m, std::uint64_t ef_construction)
      : dist_(dist), levels_(levels), links_(links), entry_(entry), m_(m),
        ef_construction_(ef_construction) {}

  struct Scratch {
    explicit Scratch(std::uint64_t nodes) : marks(nodes) {}
    VisitedMarks marks;
    std::vector<Candidate> candidates;
    std::vector<float> dists;
    std::vector<std::vector<std::uint32_t>> selected;  // own list per layer
  };

  void insert(std::uint32_t q, Scratch& s) const {
    const auto [entry, top] = entry_.read();
    const std::uint64_t level = levels_[q];
    std::uint32_t cur = entry;
    for (std::uint64_t layer = top; layer > level; --layer) {
      cur = nearest_candidate(search_layer(dist_, q, cur, 1, layer, links_, s.marks));
    }
    const std::uint64_t layers = std::min(top, level) + 1;
    s.selected.resize(layers);
    for (std::uint64_t layer = layers; layer-- > 0;) {
      const std::vector<Candidate> found =
          search_layer(dist_, q, cur, ef_construction_, layer, links_, s.marks);
      s.candidates = found;
      s.selected[layer] = select_neighbors(dist_, q, s.candidates, layer_cap(m_, layer));
      links_.replace(q, layer, s.selected[layer]);
      cur = nearest_candidate(found);
    }
    for (std::uint64_t layer = layers; layer-- > 0;) {
      for (const std::uint32_t e : s.selected[layer]) link_back(e, q, layer, layer_cap(m_, layer), s);
    }
    if (level > top) entry_.raise(q, level);
  }

 private:
  // Appends q to e's list and re-selects that list when it overflows, all
  // under e's mutex alone.
  void link_back(std::uint32_t e, std::uint32_t q, std::uint64_t layer, std::uint64_t cap,
                 Scratch& s) const {
    links_.update(e, layer, [&](std::vector<std::uint32_t>& list) {
      list.push_back(q);
      if (list.size() <= cap) return;
      s.dists.resize(list.size());
      distances_from(dist_, e, list.data(), list.size(), s.dists.data());
      s.candidates.clear();
      for (std::size_t i = 0; i < list.size(); ++i) s.candidates.push_back({list[i], s.dists[i]});
      list = select_neighbors(dist_, e, s.candidates, cap);
    });
  }

  const Dist& dist_;
  std::span<const std::uint64_t> levels_;
  BuildLinks& links_;
  EntryRecord& entry_;
  std::uint64_t m_;
  std::uint64_t ef_construction_;
};

}  // namespace

template <class Dist>
Hnsw Hnsw::build(const Dist& dist, std::uint64_t n, std::uint64_t m,
                 std::uint64_t ef_construction, std::uint64_t seed) {
  if (n == 0) return Hnsw{};
  VELNOR_ASSERT(n <= 0xFFFFFFFFull, "HNSW node ids are u32: at most 2^32 - 1 rows");
  const std::vector<std::uint64_t> levels = draw_levels(n, m, seed);
  BuildLinks links(levels);
  EntryRecord entry(0, levels[0]);
  const Inserter<Dist> inserter(dist, levels, links, entry, m, ef_construction);
  using Scratch = typename Inserter<Dist>::Scratch;
  begin_stage("HNSW build", n - 1);
  parallel_for(
      n - 1, [n] { return Scratch(n); },
      [&](Scratch& s, std::size_t i) { inserter.insert(static_cast<std::uint32_t>(i + 1), s); },
      {.counted = true});
  const auto [entry_node, entry_level] = entry.read();
  return std::move(links).freeze(entry_node, entry_level);
}

template Hnsw Hnsw::build<ExactDistance>(const ExactDistance&, std::uint64_t, std::uint64_t,
                                         std::uint64_t, std::uint64_t);
template Hnsw Hnsw::build<CodeDistance>(const CodeDistance&, std::uint64_t, std::uint64_t,
                                        std::uint64_t, std::uint64_t);

}  // namespace velnor
