#include "core/partition/ball_carving.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <numeric>

#include <cblas.h>

#include "core/blas.hpp"
#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/prefetch.hpp"

namespace velnor::partition {

namespace {

constexpr std::uint64_t kCarvingSeedMix = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kPivotSeedMix = 0xA5A55A5A12349876ull;
constexpr std::uint64_t kMaxCentres = 64;
constexpr std::uint64_t kMaxDepth = 23;       // deeper buckets are cut at random
constexpr std::uint64_t kDirectHaloLeaves = 256;
constexpr std::uint64_t kHaloGroups = 3;
// Points per parallel task when assigning points to centres.
constexpr std::size_t kAssignChunk = 512;
// Points whose halo leaves are found before they are appended in order, and
// the most halo entries such a batch may hold.
constexpr std::size_t kHaloBatch = 16384;
constexpr std::size_t kHaloBatchEntries = std::size_t{1} << 22;
// Points whose products with the centroids come from one matrix product.
constexpr std::uint64_t kHaloProductRows = 64;

// The c in [0, count) whose row_of(c) is nearest to `query`: the first
// strictly smallest distance wins, starting from +inf with c = 0, so a NaN
// distance never wins.
template <class RowOf>
std::size_t first_nearest(const float* query, std::size_t count, RowOf row_of, std::uint64_t d) {
  std::size_t best = 0;
  float best_dist = std::numeric_limits<float>::infinity();
  std::size_t c = 0;
  for (; c + 4 <= count; c += 4) {
    const float* rows[4] = {row_of(c), row_of(c + 1), row_of(c + 2), row_of(c + 3)};
    float dist[4];
    sq_l2_x4(query, rows, d, dist);
    for (std::size_t t = 0; t < 4; ++t) {
      if (dist[t] < best_dist) {
        best_dist = dist[t];
        best = c + t;
      }
    }
  }
  for (; c < count; ++c) {
    const float dist = sq_l2(query, row_of(c), d);
    if (dist < best_dist) {
      best_dist = dist;
      best = c;
    }
  }
  return best;
}

// Shuffles the ids and appends them as consecutive leaves of c_max.
void cut_at_random(std::vector<std::uint32_t>& ids, std::uint64_t c_max, ChaCha8& rng,
                   LeafList& out) {
  rng.shuffle(std::span<std::uint32_t>(ids));
  for (std::size_t begin = 0; begin < ids.size(); begin += c_max) {
    const std::size_t end = std::min<std::size_t>(ids.size(), begin + c_max);
    out.emplace_back(ids.begin() + static_cast<std::ptrdiff_t>(begin),
                     ids.begin() + static_cast<std::ptrdiff_t>(end));
  }
}

// Adds src to dst component-wise in f32.
void add_into(float* dst, const float* src, std::uint64_t d) {
  for (std::uint64_t k = 0; k < d; ++k) dst[k] = dst[k] + src[k];
}

void scale(float* v, std::uint64_t d, std::uint64_t count) {
  const float inv = 1.0f / static_cast<float>(std::max<std::uint64_t>(count, 1));
  for (std::uint64_t k = 0; k < d; ++k) v[k] = v[k] * inv;
}

// Leaf groups for the halo of many leaves: each leaf joins the group of its
// nearest pivot leaf (by centroid).
struct LeafGroups {
  std::vector<std::vector<std::uint32_t>> members;  // leaf indices, ascending
  std::vector<float> centroids;                     // groups x d
};

LeafGroups group_leaves(const std::vector<float>& leaf_centroids, std::uint64_t leaf_count,
                        std::uint64_t d, std::uint64_t seed) {
  const auto groups = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(leaf_count))));
  std::vector<std::uint32_t> order(leaf_count);
  std::iota(order.begin(), order.end(), 0u);
  ChaCha8 pivot_rng(seed ^ kPivotSeedMix);
  pivot_rng.shuffle(std::span<std::uint32_t>(order));

  LeafGroups result;
  result.members.resize(groups);
  result.centroids.assign(groups * d, 0.0f);
  auto pivot_row = [&](std::size_t g) { return leaf_centroids.data() + order[g] * d; };
  for (std::uint64_t i = 0; i < leaf_count; ++i) {
    const float* centroid = leaf_centroids.data() + i * d;
    const std::size_t g = first_nearest(centroid, groups, pivot_row, d);
    result.members[g].push_back(static_cast<std::uint32_t>(i));
    add_into(result.centroids.data() + g * d, centroid, d);
  }
  for (std::uint64_t g = 0; g < groups; ++g)
    scale(result.centroids.data() + g * d, d, result.members[g].size());
  return result;
}

// The leaves of the three groups nearest to `point`, nearest group first.
void group_candidates(const float* point, const LeafGroups& groups, std::uint64_t d,
                      std::vector<std::uint32_t>& out) {
  std::size_t top[kHaloGroups];
  float top_dist[kHaloGroups];
  std::size_t held = 0;
  for (std::size_t g = 0; g < groups.members.size(); ++g) {
    const float dist = sq_l2(point, groups.centroids.data() + g * d, d);
    VELNOR_ASSERT(!std::isnan(dist), "NaN distance in the leaf halo: input holds NaN or infinity");
    if (held == kHaloGroups && !(dist < top_dist[held - 1])) continue;
    std::size_t pos = held < kHaloGroups ? held++ : held - 1;
    for (; pos > 0 && dist < top_dist[pos - 1]; --pos) {
      top[pos] = top[pos - 1];
      top_dist[pos] = top_dist[pos - 1];
    }
    top[pos] = g;
    top_dist[pos] = dist;
  }
  out.clear();
  for (std::size_t t = 0; t < held; ++t)
    out.insert(out.end(), groups.members[top[t]].begin(), groups.members[top[t]].end());
}

}  // namespace

void carve_disjoint(const Dataset& dataset, std::uint64_t c_max, std::vector<std::uint32_t> ids,
                    std::uint64_t depth, ChaCha8& rng, LeafList& out) {
  VELNOR_ASSERT(c_max >= 1, "c_max must be >= 1");
  const std::uint64_t count = ids.size();
  if (count <= c_max) {
    out.push_back(std::move(ids));
    return;
  }
  std::uint64_t k = 2 * count / c_max;
  if (k < 3) k = 2;
  k = std::min({k, count, kMaxCentres});

  std::vector<std::uint32_t> shuffled = ids;
  rng.shuffle(std::span<std::uint32_t>(shuffled));
  shuffled.resize(k);  // the centres

  // Nearest centre of every point, in parallel; buckets fill in id order.
  const std::uint64_t d = dataset.d();
  std::vector<std::uint8_t> nearest(count);
  auto centre_row = [&](std::size_t c) { return dataset.row(shuffled[c]); };
  const std::size_t chunks = (count + kAssignChunk - 1) / kAssignChunk;
  parallel_for(chunks, [&](std::size_t chunk) {
    const std::size_t end = std::min<std::size_t>(count, (chunk + 1) * kAssignChunk);
    for (std::size_t pos = chunk * kAssignChunk; pos < end; ++pos) {
      prefetch_row_ahead(dataset.data(), d, ids.data(), pos, end);
      nearest[pos] = static_cast<std::uint8_t>(first_nearest(dataset.row(ids[pos]), k, centre_row, d));
    }
  });
  std::vector<std::vector<std::uint32_t>> buckets(k);
  for (std::size_t pos = 0; pos < count; ++pos) buckets[nearest[pos]].push_back(ids[pos]);
  std::vector<std::uint32_t>().swap(ids);
  std::vector<std::uint8_t>().swap(nearest);

  const double limit_real = std::floor(0.9 * static_cast<double>(count));
  const std::uint64_t balance_limit = limit_real >= 18446744073709551615.0
                                          ? UINT64_MAX
                                          : static_cast<std::uint64_t>(limit_real);
  for (auto& bucket : buckets) {
    if (bucket.empty()) continue;
    if (bucket.size() <= c_max) {
      out.push_back(std::move(bucket));
    } else if (depth > kMaxDepth || bucket.size() > balance_limit) {
      cut_at_random(bucket, c_max, rng, out);
    } else {
      carve_disjoint(dataset, c_max, std::move(bucket), depth + 1, rng, out);
    }
    std::vector<std::uint32_t>().swap(bucket);
  }
}

namespace {

// The k nearest of the leaves offered, nearest first. Equal distances keep
// the earlier offer first, and never displace one already held.
class NearestLeaves {
 public:
  explicit NearestLeaves(std::uint64_t k) : k_(k) { held_.reserve(k + 1); }

  void offer(std::uint32_t index, float dist) {
    VELNOR_ASSERT(!std::isnan(dist), "NaN distance in the leaf halo: input holds NaN or infinity");
    if (k_ == 0) return;
    if (held_.size() == k_) {
      if (!(held_.back().dist > dist)) return;
      held_.pop_back();
    }
    const auto pos = std::upper_bound(held_.begin(), held_.end(), dist,
                                      [](float v, const Held& h) { return v < h.dist; });
    held_.insert(pos, {dist, index});
  }

  std::vector<std::uint32_t> indices() const {
    std::vector<std::uint32_t> result;
    result.reserve(held_.size());
    for (const Held& h : held_) result.push_back(h.index);
    return result;
  }

 private:
  struct Held {
    float dist;
    std::uint32_t index;
  };
  std::uint64_t k_;
  std::vector<Held> held_;
};

}  // namespace

std::vector<std::uint32_t> nearest_centroids(const float* query, const float* centroids,
                                             std::uint64_t d, std::uint64_t k,
                                             std::uint32_t excluded,
                                             std::span<const std::uint32_t> candidates) {
  if (k == 0) return {};
  NearestLeaves held(k);

  std::size_t c = 0;
  for (; c + 4 <= candidates.size(); c += 4) {
    const float* rows[4];
    for (std::size_t t = 0; t < 4; ++t) rows[t] = centroids + candidates[c + t] * d;
    float dist[4];
    sq_l2_x4(query, rows, d, dist);
    for (std::size_t t = 0; t < 4; ++t)
      if (candidates[c + t] != excluded) held.offer(candidates[c + t], dist[t]);
  }
  for (; c < candidates.size(); ++c) {
    if (candidates[c] != excluded) held.offer(candidates[c], sq_l2(query, centroids + candidates[c] * d, d));
  }
  return held.indices();
}

namespace {

// The halo leaves of points first .. first + rows - 1 (rows of `dataset`) among
// all leaf centroids, by products: record(r, leaves) for the point first + r.
template <class Record>
void halo_by_products(const Dataset& dataset, std::uint64_t first, std::uint64_t rows,
                      const std::vector<float>& centroids, const std::vector<float>& centroid_norms,
                      const std::vector<std::uint32_t>& home, std::uint64_t k,
                      std::vector<float>& dots, Record&& record) {
  const std::uint64_t leaf_count = centroid_norms.size(), d = dataset.d();
  dots.resize(rows * leaf_count);
  scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(rows),
                    static_cast<int>(leaf_count), static_cast<int>(d), 1.0f, dataset.row(first),
                    static_cast<int>(d), centroids.data(), static_cast<int>(d), 0.0f, dots.data(),
                    static_cast<int>(leaf_count));
  for (std::uint64_t r = 0; r < rows; ++r) {
    const std::uint64_t p = first + r;
    const float x_norm = dataset.norms()[p];
    const float* row_dots = dots.data() + r * leaf_count;
    NearestLeaves held(k);
    for (std::uint64_t c = 0; c < leaf_count; ++c) {
      if (c == home[p]) continue;
      held.offer(static_cast<std::uint32_t>(c), (x_norm + centroid_norms[c]) - 2.0f * row_dots[c]);
    }
    record(r, held.indices());
  }
}

}  // namespace

void add_halo(const Dataset& dataset, LeafList& leaves, std::uint64_t fanout, std::uint64_t seed,
              HaloMeasure measure) {
  const std::uint64_t leaf_count = leaves.size();
  if (fanout < 2 || leaf_count < 2) return;
  const std::uint64_t n = dataset.n(), d = dataset.d();
  const std::uint64_t k = std::min(leaf_count - 1, fanout - 1);

  std::vector<float> centroids(leaf_count * d, 0.0f);
  std::vector<std::uint32_t> home(n, UINT32_MAX);
  parallel_for(leaf_count, [&](std::size_t i) {
    float* centroid = centroids.data() + i * d;
    for (const std::uint32_t p : leaves[i]) {
      home[p] = static_cast<std::uint32_t>(i);
      add_into(centroid, dataset.row(p), d);
    }
    scale(centroid, d, leaves[i].size());
  });
  for (std::uint64_t p = 0; p < n; ++p) VELNOR_ASSERT(home[p] != UINT32_MAX, "halo needs leaves covering every point");

  const bool grouped = leaf_count > kDirectHaloLeaves;
  std::vector<std::uint32_t> all_leaves;
  LeafGroups groups;
  if (grouped) {
    groups = group_leaves(centroids, leaf_count, d, seed);
  } else {
    all_leaves.resize(leaf_count);
    std::iota(all_leaves.begin(), all_leaves.end(), 0u);
  }

  // Points are handled in batches: the halo leaves of a batch are found in
  // parallel, then appended on this thread in point order. A point gains at
  // most `room` leaves: k, or fewer when its three groups cannot hold k.
  std::uint64_t room = k;
  if (grouped) {
    std::vector<std::size_t> sizes;
    for (const auto& g : groups.members) sizes.push_back(g.size());
    std::sort(sizes.rbegin(), sizes.rend());
    std::uint64_t largest_three = 0;
    for (std::size_t t = 0; t < std::min<std::size_t>(kHaloGroups, sizes.size()); ++t) largest_three += sizes[t];
    room = std::min(room, largest_three);
  }
  const std::uint64_t per_batch =
      std::clamp<std::uint64_t>(kHaloBatchEntries / std::max<std::uint64_t>(room, 1), 1, kHaloBatch);
  const bool by_products = measure == HaloMeasure::kProducts && !grouped && d > 0 &&
                          d <= INT_MAX && leaf_count <= INT_MAX;
  std::vector<float> centroid_norms;
  if (by_products) {
    use_single_threaded_blas();
    for (std::uint64_t c = 0; c < leaf_count; ++c) {
      centroid_norms.push_back(squared_norm(centroids.data() + c * d, d));
    }
  }
  std::vector<std::uint32_t> found;
  std::vector<std::uint32_t> found_count;
  // The halo leaves of the batch's point t.
  const auto record = [&](std::uint64_t t, const std::vector<std::uint32_t>& near) {
    std::copy(near.begin(), near.end(), found.begin() + static_cast<std::ptrdiff_t>(t * room));
    found_count[t] = static_cast<std::uint32_t>(near.size());
  };
  for (std::uint64_t begin = 0; begin < n; begin += per_batch) {
    const std::uint64_t batch = std::min<std::uint64_t>(per_batch, n - begin);
    found.assign(batch * room, 0);
    found_count.assign(batch, 0);
    if (by_products) {
      parallel_for(
          (batch + kHaloProductRows - 1) / kHaloProductRows, [] { return std::vector<float>(); },
          [&](std::vector<float>& dots, std::size_t b) {
            const std::uint64_t offset = b * kHaloProductRows;
            const std::uint64_t rows = std::min<std::uint64_t>(kHaloProductRows, batch - offset);
            halo_by_products(dataset, begin + offset, rows, centroids, centroid_norms, home, k, dots,
                             [&](std::uint64_t r, const std::vector<std::uint32_t>& near) {
                               record(offset + r, near);
                             });
          });
    } else {
      parallel_for(
          batch, [] { return std::vector<std::uint32_t>(); },
          [&](std::vector<std::uint32_t>& candidates, std::size_t t) {
            const std::uint64_t p = begin + t;
            const float* point = dataset.row(p);
            if (grouped) group_candidates(point, groups, d, candidates);
            record(t, nearest_centroids(point, centroids.data(), d, k, home[p],
                                        grouped ? candidates : all_leaves));
          },
          {.chunk = 64});
    }
    for (std::uint64_t t = 0; t < batch; ++t)
      for (std::uint32_t c = 0; c < found_count[t]; ++c)
        leaves[found[t * room + c]].push_back(static_cast<std::uint32_t>(begin + t));
  }
}

LeafList partition(const Dataset& dataset, const BuildParams& params) {
  const std::uint64_t n = dataset.n();
  if (n == 0) return {};
  if (params.c_max == 0) throw InvalidArgument("c_max must be >= 1");
  VELNOR_ASSERT(n <= UINT32_MAX, "too many points: ids are 32-bit");
  std::vector<std::uint32_t> ids(n);
  std::iota(ids.begin(), ids.end(), 0u);
  ChaCha8 rng(params.seed ^ kCarvingSeedMix);
  LeafList leaves;
  carve_disjoint(dataset, params.c_max, std::move(ids), 0, rng, leaves);
  if (params.fanout >= 2 && leaves.size() >= 2) add_halo(dataset, leaves, params.fanout, params.seed);
  return leaves;
}

}  // namespace velnor::partition
