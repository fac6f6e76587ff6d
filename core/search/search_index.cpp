#include "core/search/search_index.hpp"

#include <algorithm>
#include <utility>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "core/parallel.hpp"

namespace velnor {

std::vector<std::uint32_t> locality_order(const Graph& graph) {
  const std::uint64_t n = graph.size();
  std::vector<std::uint32_t> order;
  order.reserve(n);
  std::vector<std::uint8_t> seen(n, 0);
  auto visit_from = [&](std::uint32_t start) {
    if (seen[start]) return;
    seen[start] = 1;
    order.push_back(start);
    for (std::size_t head = order.size() - 1; head < order.size(); ++head) {
      const std::uint32_t node = order[head];
      for (const std::uint32_t v : graph.neighbors_of(node)) {
        VELNOR_ASSERT(v < n, "neighbour id out of range");
        if (!seen[v]) {
          seen[v] = 1;
          order.push_back(v);
        }
      }
    }
  };
  if (n > 0) visit_from(graph.medoid < n ? graph.medoid : 0);
  for (std::uint64_t i = 0; i < n; ++i) visit_from(static_cast<std::uint32_t>(i));
  return order;
}

namespace {

// Pivot blocks kept for the widths queried most recently. The default plan
// serves every beam width up to 4*sqrt(n); wider beams take one each.
constexpr std::size_t kCachedPivotBlocks = 4;

// A call of at most this many queries per worker of its pool runs on the
// calling thread: waking the workers would cost more than they save.
constexpr std::uint64_t kInlineQueriesPerWorker = 4;

// Queries whose seeds are found before their searches run: at most this
// many at a time, to bound the seed table.
constexpr std::uint64_t kQueriesPerPass = std::uint64_t{1} << 16;

// The arrays a build's index owns.
struct OwnedArrays {
  HugeVector<float> rows;
  std::vector<float> norms;
  HugeVector<std::uint64_t> offsets;
  HugeVector<std::uint32_t> neighbors;
  std::vector<std::uint32_t> order;
};

// The inverse of `order` (original row -> node); fails unless `order` holds
// every one of its size's ids exactly once.
std::vector<std::uint32_t> inverse_order(std::span<const std::uint32_t> order) {
  constexpr std::uint32_t kUnset = 0xFFFFFFFFu;
  std::vector<std::uint32_t> rank(order.size(), kUnset);
  for (std::size_t t = 0; t < order.size(); ++t) {
    const std::uint32_t id = order[t];
    if (id >= order.size() || rank[id] != kUnset) {
      throw InvalidArgument("index order must hold every row once");
    }
    rank[id] = static_cast<std::uint32_t>(t);
  }
  return rank;
}

std::shared_ptr<OwnedArrays> renumbered(const Dataset& dataset, const Graph& graph,
                                        std::span<const std::uint32_t> order,
                                        const std::vector<std::uint32_t>& rank) {
  const std::uint64_t n = dataset.n(), d = dataset.d();
  auto owned = std::make_shared<OwnedArrays>();
  owned->order.assign(order.begin(), order.end());
  owned->rows.resize(n * d);
  owned->norms.assign(n, 0.0f);
  const std::vector<float>& norms = dataset.norms();
  parallel_for(n, [&](std::size_t t) {
    std::copy_n(dataset.data() + std::uint64_t{order[t]} * d, d, owned->rows.data() + t * d);
    if (!norms.empty()) owned->norms[t] = norms[order[t]];
  });
  owned->offsets.assign(n + 1, 0);
  for (std::uint64_t t = 0; t < n; ++t) {
    owned->offsets[t + 1] = owned->offsets[t] + graph.neighbors_of(order[t]).size();
  }
  owned->neighbors.resize(graph.neighbors.size());
  parallel_for(n, [&](std::size_t t) {
    std::uint32_t* out = owned->neighbors.data() + owned->offsets[t];
    for (const std::uint32_t v : graph.neighbors_of(order[t])) {
      VELNOR_ASSERT(v < n, "neighbour id out of range");
      *out++ = rank[v];
    }
  });
  return owned;
}

}  // namespace

SearchIndex::SearchIndex(const Dataset& dataset, const Graph& graph,
                         std::span<const std::uint32_t> order) {
  VELNOR_ASSERT(graph.size() == dataset.n(), "graph and dataset sizes differ");
  VELNOR_ASSERT(order.size() == dataset.n(), "index order must hold every row once");
  rank_ = inverse_order(order);
  const std::shared_ptr<OwnedArrays> owned = renumbered(dataset, graph, order, rank_);
  Arrays arrays;
  arrays.n = dataset.n();
  arrays.d = dataset.d();
  arrays.metric = dataset.metric();
  arrays.rows = owned->rows;
  arrays.norms = owned->norms;
  arrays.offsets = owned->offsets;
  arrays.neighbors = owned->neighbors;
  arrays.order = owned->order;
  arrays.medoid = graph.medoid < graph.size() ? rank_[graph.medoid] : 0;
  arrays_ = arrays;
  owner_ = owned;
}

SearchIndex::SearchIndex(const Arrays& arrays, std::shared_ptr<const void> owner)
    : arrays_(arrays), owner_(std::move(owner)) {
  const std::uint64_t n = arrays.n, d = arrays.d;
  const auto check = [](bool ok, const char* message) {
    if (!ok) throw InvalidArgument(message);
  };
  check(n < (std::uint64_t{1} << 32), "an index holds fewer than 2^32 rows");
  check(d == 0 || n <= UINT64_MAX / d, "index rows must hold n * d values");
  check(arrays.rows.size() == n * d, "index rows must hold n * d values");
  check(arrays.norms.empty() || arrays.norms.size() == n, "index norms must hold n values");
  check(arrays.offsets.size() == n + 1 && arrays.offsets.front() == 0 &&
            arrays.offsets.back() == arrays.neighbors.size(),
        "index offsets must hold n + 1 values from 0 to the neighbour count");
  for (std::uint64_t t = 0; t < n; ++t) {
    check(arrays.offsets[t] <= arrays.offsets[t + 1], "index offsets must not decrease");
  }
  for (const std::uint32_t v : arrays.neighbors) check(v < n, "index neighbour id out of range");
  check(arrays.order.size() == n, "index order must hold every row once");
  check(arrays.medoid < std::max<std::uint64_t>(n, 1), "index medoid out of range");
  rank_ = inverse_order(arrays.order);
  if (arrays.norms.empty()) {
    computed_norms_.resize(n);
    for (std::uint64_t t = 0; t < n; ++t) {
      computed_norms_[t] = squared_norm(arrays.rows.data() + t * d, d);
    }
    arrays_.norms = computed_norms_;
  }
}

SearchView SearchIndex::view() const {
  return SearchView(arrays_.rows.data(), arrays_.n, arrays_.d, arrays_.offsets.data(),
                    arrays_.neighbors.data());
}

std::shared_ptr<const PivotBlock> SearchIndex::pivot_block(const PivotPlan& plan) const {
  std::lock_guard<std::mutex> lock(cache_mutex_);
  const auto hit = std::find_if(pivot_blocks_.begin(), pivot_blocks_.end(),
                                [&](const auto& b) {
                                  return b->plan.step == plan.step && b->plan.seeds == plan.seeds;
                                });
  if (hit != pivot_blocks_.end()) {
    std::rotate(pivot_blocks_.begin(), hit, hit + 1);  // most recent first
    return pivot_blocks_.front();
  }
  auto block = std::make_shared<const PivotBlock>(
      gather_pivots(plan, arrays_.rows.data(), arrays_.norms.data(), arrays_.d, rank_));
  if (pivot_blocks_.size() == kCachedPivotBlocks) pivot_blocks_.pop_back();
  pivot_blocks_.insert(pivot_blocks_.begin(), std::move(block));
  return pivot_blocks_.front();
}

std::unique_ptr<Scratch> SearchIndex::take_scratch() const {
  {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    if (!idle_scratch_.empty()) {
      std::unique_ptr<Scratch> scratch = std::move(idle_scratch_.back());
      idle_scratch_.pop_back();
      return scratch;
    }
  }
  return std::make_unique<Scratch>(arrays_.n);
}

void SearchIndex::give_back(std::unique_ptr<Scratch> scratch) const {
  std::lock_guard<std::mutex> lock(cache_mutex_);
  idle_scratch_.push_back(std::move(scratch));
}

// A scratch borrowed from the index's pool for one worker task, returned
// when the task ends.
class SearchIndex::ScratchLease {
 public:
  explicit ScratchLease(const SearchIndex& index)
      : index_(&index), scratch_(index.take_scratch()) {}
  ScratchLease(ScratchLease&& other) noexcept = default;
  ScratchLease& operator=(ScratchLease&&) = delete;
  ~ScratchLease() {
    if (scratch_) index_->give_back(std::move(scratch_));
  }
  Scratch& get() { return *scratch_; }

 private:
  const SearchIndex* index_;
  std::unique_ptr<Scratch> scratch_;
};

bool SearchIndex::runs_inline(std::uint64_t n_q) {
  return n_q <= kInlineQueriesPerWorker * current_pool_threads();
}

KnnResult SearchIndex::query(std::span<const float> queries, std::uint64_t n_q, std::uint64_t k,
                             std::uint64_t beam_l, std::uint64_t seeds) const {
  if (k == 0) throw InvalidArgument("n_neighbors must be at least 1 to query the index");
  const std::uint64_t n = arrays_.n, d = arrays_.d;
  if (n == 0) throw InvalidArgument("cannot query an index over an empty base matrix");
  const bool overflow = d != 0 && n_q > UINT64_MAX / d;
  VELNOR_ASSERT(!overflow && queries.size() == n_q * d, "query data length must equal n_q*d");

  const std::uint64_t stride = std::min(n, k);
  // A beam never holds more than the n rows: a wider one changes no result.
  const std::uint64_t L = std::min(std::max(stride, beam_l), n);
  KnnResult result = KnnResult::zeroed(n_q, stride);
  if (n_q == 0) return result;
  const PivotPlan plan = pivot_plan(n, L, seeds);
  const std::shared_ptr<const PivotBlock> pivots = pivot_block(plan);
  const SearchView search = view();
  const Candidate medoid{original(arrays_.medoid), 0.0f};

  // Query q's search from its seeds, its row written in original ids.
  const auto answer = [&](Scratch& scratch, std::uint64_t q, std::span<const std::uint32_t> seeds) {
    std::vector<Candidate> found = beam_search(search, seeds, queries.data() + q * d, L, scratch);
    for (Candidate& c : found) c.id = original(c.id);
    result.write_row(q, arrays_.metric, found, found.empty() ? medoid : found.back());
  };

  if (runs_inline(n_q)) {
    ScratchLease scratch(*this);
    PivotSeeds seeds(*pivots, n_q);
    for (std::uint64_t first = 0; first < n_q; first += PivotSeeds::kBlock) {
      const std::uint64_t rows = std::min(PivotSeeds::kBlock, n_q - first);
      seeds.load_block(queries.data() + first * d, rows);
      for (std::uint64_t r = 0; r < rows; ++r) {
        answer(scratch.get(), first + r, seeds.nearest(queries.data() + (first + r) * d, r));
      }
    }
    return result;
  }

  // Seeds first, for a pass of queries at a time; then the searches, the
  // queries ordered by their nearest pivot (then by position): queries near
  // the same pivot search overlapping parts of the graph, so run one after
  // another they find most rows still in cache.
  begin_stage("search", n_q);
  std::vector<std::uint32_t> seed_table;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> visit;
  for (std::uint64_t first = 0; first < n_q; first += kQueriesPerPass) {
    const std::uint64_t count = std::min(kQueriesPerPass, n_q - first);
    const std::uint64_t block = PivotSeeds::kBlock;
    seed_table.resize(count * plan.seeds);
    visit.resize(count);
    parallel_for(
        (count + block - 1) / block, [&] { return PivotSeeds(*pivots); },
        [&](PivotSeeds& seeds, std::size_t b) {
          const std::uint64_t begin = b * block, rows = std::min(block, count - begin);
          seeds.load_block(queries.data() + (first + begin) * d, rows);
          for (std::uint64_t r = 0; r < rows; ++r) {
            const std::uint64_t q = begin + r;
            const auto found = seeds.nearest(queries.data() + (first + q) * d, r);
            std::copy(found.begin(), found.end(), seed_table.data() + q * plan.seeds);
            visit[q] = {found.front(), static_cast<std::uint32_t>(q)};
          }
        });
    std::sort(visit.begin(), visit.end());
    parallel_for(
        count, [&] { return ScratchLease(*this); },
        [&](ScratchLease& scratch, std::size_t t) {
          const std::uint32_t q = visit[t].second;
          answer(scratch.get(), first + q, {seed_table.data() + q * plan.seeds, plan.seeds});
        },
        {.counted = true});
  }
  return result;
}

KnnResult knn_query(const Dataset& dataset, const Graph& graph, std::span<const float> queries,
                    std::uint64_t n_q, std::uint64_t k, std::uint64_t beam_l) {
  VELNOR_ASSERT(graph.size() == dataset.n(), "graph and dataset sizes differ");
  return SearchIndex(dataset, graph, locality_order(graph)).query(queries, n_q, k, beam_l);
}

}  // namespace velnor
