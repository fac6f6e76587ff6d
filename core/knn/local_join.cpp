#include "core/knn/local_join.hpp"

#include <algorithm>
#include <atomic>

#include "core/distance.hpp"
#include "core/parallel.hpp"

namespace velnor::knn {

namespace {

bool before(const Candidate& a, const Candidate& b) {
  return a.dist < b.dist || (a.dist == b.dist && a.id < b.id);
}

// For every node, the nodes that list it, at most `cap` of them (the nearest,
// ties by id), in compressed rows.
struct Reverse {
  std::vector<std::uint64_t> offsets;
  std::vector<Candidate> entries;
  std::vector<std::uint32_t> count;
};

// `forward(v)` gives node v's (id, dist) entries.
template <class Forward>
Reverse reverse_lists(std::uint64_t n, std::uint64_t cap, Forward forward) {
  Reverse r;
  std::vector<std::atomic<std::uint32_t>> incoming(n);
  parallel_for(
      n,
      [&](std::size_t v) {
        for (const Candidate& c : forward(v)) incoming[c.id].fetch_add(1, std::memory_order_relaxed);
      },
      {.chunk = 512});
  r.offsets.assign(n + 1, 0);
  for (std::uint64_t u = 0; u < n; ++u) r.offsets[u + 1] = r.offsets[u] + incoming[u].load();
  r.entries.resize(r.offsets[n]);
  std::vector<std::atomic<std::uint64_t>> cursor(n);
  for (std::uint64_t u = 0; u < n; ++u) cursor[u].store(r.offsets[u], std::memory_order_relaxed);
  parallel_for(
      n,
      [&](std::size_t v) {
        for (const Candidate& c : forward(v)) {
          const std::uint64_t at = cursor[c.id].fetch_add(1, std::memory_order_relaxed);
          r.entries[at] = Candidate{static_cast<std::uint32_t>(v), c.dist};
        }
      },
      {.chunk = 512});
  r.count.assign(n, 0);
  parallel_for(
      n,
      [&](std::size_t u) {
        auto first = r.entries.begin() + static_cast<std::ptrdiff_t>(r.offsets[u]);
        auto last = r.entries.begin() + static_cast<std::ptrdiff_t>(r.offsets[u + 1]);
        const auto keep = std::min<std::ptrdiff_t>(last - first, static_cast<std::ptrdiff_t>(cap));
        std::partial_sort(first, first + keep, last, before);
        r.count[u] = static_cast<std::uint32_t>(keep);
      },
      {.chunk = 512});
  return r;
}

struct JoinBuffers {
  std::vector<std::uint32_t> fresh, old, partners;
  std::vector<float> dist;
  std::vector<Candidate> mine;
};

void add_unique(std::vector<std::uint32_t>& ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

}  // namespace

std::uint64_t local_join(const Dataset& rows, NeighborLists& lists, std::uint64_t sample) {
  const std::uint64_t n = lists.size(), cap = lists.capacity(), d = rows.d();
  // What each node joins, taken before any offer: up to `sample` fresh
  // entries (which stop being fresh) and every older entry.
  std::vector<Candidate> fresh(n * sample), old(n * cap);
  std::vector<std::uint32_t> fresh_count(n, 0), old_count(n, 0);
  std::vector<float> bar(n);
  parallel_for(
      n,
      [&](std::size_t v) {
        const auto ids = lists.ids(v);
        const auto dists = lists.dists(v);
        const auto flags = lists.fresh(v);
        std::uint32_t f = 0, o = 0;
        for (std::size_t j = 0; j < ids.size(); ++j) {
          if (!flags[j]) {
            old[v * cap + o++] = Candidate{ids[j], dists[j]};
          } else if (f < sample) {
            fresh[v * sample + f++] = Candidate{ids[j], dists[j]};
            flags[j] = 0;
          }
        }
        fresh_count[v] = f;
        old_count[v] = o;
        bar[v] = lists.bar(v);
      },
      {.chunk = 512});
  const auto fresh_of = [&](std::size_t v) {
    return std::span<const Candidate>(fresh.data() + v * sample, fresh_count[v]);
  };
  const auto old_of = [&](std::size_t v) {
    return std::span<const Candidate>(old.data() + v * cap, old_count[v]);
  };
  const Reverse fresh_rev = reverse_lists(n, sample, fresh_of);
  const Reverse old_rev = reverse_lists(n, sample, old_of);

  parallel_for(
      n, [] { return JoinBuffers(); },
      [&](JoinBuffers& b, std::size_t v) {
        b.fresh.clear();
        b.old.clear();
        for (const Candidate& c : fresh_of(v)) b.fresh.push_back(c.id);
        for (std::uint32_t t = 0; t < fresh_rev.count[v]; ++t)
          b.fresh.push_back(fresh_rev.entries[fresh_rev.offsets[v] + t].id);
        for (const Candidate& c : old_of(v)) b.old.push_back(c.id);
        for (std::uint32_t t = 0; t < old_rev.count[v]; ++t)
          b.old.push_back(old_rev.entries[old_rev.offsets[v] + t].id);
        add_unique(b.fresh);
        add_unique(b.old);
        for (std::size_t i = 0; i < b.fresh.size(); ++i) {
          const std::uint32_t a = b.fresh[i];
          b.partners.assign(b.fresh.begin() + static_cast<std::ptrdiff_t>(i) + 1, b.fresh.end());
          for (const std::uint32_t o : b.old)
            if (o != a && !std::binary_search(b.fresh.begin(), b.fresh.end(), o)) b.partners.push_back(o);
          const std::size_t m = b.partners.size();
          b.dist.resize(m);
          const float* ra = rows.row(a);
          sq_l2_each(ra, m, d, [&](std::size_t j) { return rows.row(b.partners[j]); }, b.dist.data());
          b.mine.clear();
          for (std::size_t j = 0; j < m; ++j) {
            const std::uint32_t other = b.partners[j];
            const float dist = b.dist[j];
            if (dist < bar[a]) b.mine.push_back({other, dist});
            if (dist < bar[other]) {
              const Candidate back{a, dist};
              lists.offer(other, std::span<const Candidate>(&back, 1));
            }
          }
          lists.offer(a, b.mine);
        }
      },
      {.chunk = 64, .counted = true});

  std::atomic<std::uint64_t> remaining{0};
  parallel_for(
      n,
      [&](std::size_t v) {
        std::uint64_t c = 0;
        for (const std::uint8_t f : lists.fresh(v)) c += f;
        remaining.fetch_add(c, std::memory_order_relaxed);
      },
      {.chunk = 1024});
  return remaining.load();
}

}  // namespace velnor::knn
