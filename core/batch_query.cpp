#include "core/batch_query.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/search/beam_search.hpp"
#include "core/search/locality_copy.hpp"
#include "core/search/pivots.hpp"

namespace velnor {

namespace {

// A row's nearest candidates whose graph neighbours join its pool.
constexpr std::size_t kExpandedCandidates = 6;

constexpr const char* kNanDistance =
    "NaN distance in a k-NN query: the query or a data row holds NaN or infinity";

bool nearer(const Candidate& a, const Candidate& b) { return a.dist < b.dist; }

KnnResult zeroed_result(std::uint64_t rows, std::uint64_t stride) {
  KnnResult result;
  result.stride = stride;
  VELNOR_ASSERT(stride == 0 || rows <= SIZE_MAX / stride, "k-NN table too large");
  result.indices.assign(rows * stride, 0);
  result.distances.assign(rows * stride, 0.0f);
  return result;
}

// Writes `entries` (at most stride of them) to row `row` of the table and
// fills its remaining slots with `pad`.
void write_row(KnnResult& result, std::uint64_t row, Metric metric,
               std::span<const Candidate> entries, Candidate pad) {
  const std::uint64_t stride = result.stride;
  std::uint32_t* ids = result.indices.data() + row * stride;
  float* dists = result.distances.data() + row * stride;
  std::uint64_t m = 0;
  for (; m < entries.size() && m < stride; ++m) {
    ids[m] = entries[m].id;
    dists[m] = metric.reported(entries[m].dist);
  }
  for (; m < stride; ++m) {
    ids[m] = pad.id;
    dists[m] = metric.reported(pad.dist);
  }
}

// Squared distances from `query` to rows ids[0..count) of the dataset.
void distances_to(const Dataset& ds, const float* query, const std::uint32_t* ids,
                  std::size_t count, float* out) {
  const std::uint64_t d = ds.d();
  std::size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    const float* rows[4] = {ds.row(ids[j]), ds.row(ids[j + 1]), ds.row(ids[j + 2]),
                            ds.row(ids[j + 3])};
    sq_l2_x4(query, rows, d, out + j);
  }
  for (; j < count; ++j) out[j] = sq_l2(query, ds.row(ids[j]), d);
}

// Queries whose seeds are found before their searches run: at most this
// many at a time, to bound the seed table.
constexpr std::uint64_t kQueriesPerPass = std::uint64_t{1} << 16;

// The seeds of queries [first, first + count), `seeds` per query in `table`,
// and, in `visit`, the same queries ordered by their nearest pivot (then by
// position): queries near the same pivot search overlapping parts of the
// graph, so run one after another they find most rows still in cache. The
// GEMM blocks of PivotSeeds do not change any seed.
void find_seeds(const Dataset& dataset, const PivotPlan& plan, const float* queries,
                std::uint64_t first, std::uint64_t count, std::vector<std::uint32_t>& table,
                std::vector<std::pair<std::uint32_t, std::uint32_t>>& visit) {
  const std::uint64_t d = dataset.d(), seeds = plan.seeds, block = PivotSeeds::kBlock;
  table.resize(count * seeds);
  visit.resize(count);
  parallel_for(
      (count + block - 1) / block, [&] { return PivotSeeds(dataset, plan); },
      [&](PivotSeeds& pivots, std::size_t b) {
        const std::uint64_t begin = b * block, rows = std::min(block, count - begin);
        pivots.load_block(queries + (first + begin) * d, rows);
        for (std::uint64_t r = 0; r < rows; ++r) {
          const std::uint64_t q = begin + r;
          const auto found = pivots.nearest(queries + (first + q) * d, r);
          std::copy(found.begin(), found.end(), table.data() + q * seeds);
          visit[q] = {found.front(), static_cast<std::uint32_t>(q)};
        }
      });
  std::sort(visit.begin(), visit.end());
}

}  // namespace

KnnResult knn_query(const Dataset& dataset, const Graph& graph, std::span<const float> queries,
                    std::uint64_t n_q, std::uint64_t k, std::uint64_t beam_l,
                    const LocalityCopy* local) {
  if (k == 0) throw InvalidArgument("n_neighbors must be at least 1 to query the index");
  const std::uint64_t n = dataset.n();
  const std::uint64_t d = dataset.d();
  if (n == 0) throw InvalidArgument("cannot query an index over an empty base matrix");
  const bool overflow = d != 0 && n_q > UINT64_MAX / d;
  VELNOR_ASSERT(!overflow && queries.size() == n_q * d, "query data length must equal n_q*d");
  VELNOR_ASSERT(graph.size() == n, "graph and dataset sizes differ");
  VELNOR_ASSERT(local == nullptr || local->graph().size() == n, "locality copy size differs");

  const std::uint64_t stride = std::min(n, k);
  // A beam never holds more than the n rows: a wider one changes no result.
  const std::uint64_t L = std::min(std::max(stride, beam_l), n);
  const PivotPlan plan = pivot_plan(n, L);
  // Seeds come from the pivots of the original rows; the searches may run
  // over the renumbered copy, with seeds mapped in and results mapped back.
  const Dataset& search_rows = local != nullptr ? local->dataset() : dataset;
  const Graph& search_graph = local != nullptr ? local->graph() : graph;

  struct Worker {
    explicit Worker(std::uint64_t n) : scratch(n) {}
    Scratch scratch;
    std::vector<std::uint32_t> seeds;
  };

  begin_stage("search", n_q);
  KnnResult result = zeroed_result(n_q, stride);
  std::vector<std::uint32_t> seed_table;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> visit;
  for (std::uint64_t first = 0; first < n_q; first += kQueriesPerPass) {
    const std::uint64_t count = std::min(kQueriesPerPass, n_q - first);
    find_seeds(dataset, plan, queries.data(), first, count, seed_table, visit);
    parallel_for(
        count, [&] { return Worker(n); },
        [&](Worker& w, std::size_t t) {
          const std::uint64_t q = first + visit[t].second;
          const std::uint32_t* seeds = seed_table.data() + visit[t].second * plan.seeds;
          w.seeds.assign(seeds, seeds + plan.seeds);
          if (local != nullptr) {
            for (std::uint32_t& s : w.seeds) s = local->local(s);
          }
          std::vector<Candidate> found = beam_search(search_rows, search_graph, w.seeds,
                                                     queries.data() + q * d, L, w.scratch);
          if (local != nullptr) {
            for (Candidate& c : found) c.id = local->original(c.id);
          }
          const Candidate pad = found.empty() ? Candidate{graph.medoid, 0.0f} : found.back();
          write_row(result, q, dataset.metric(), found, pad);
        },
        {.counted = true});
  }
  return result;
}

KnnResult knn_self_graph(const Dataset& dataset, const Graph& graph,
                         const std::vector<std::vector<Candidate>>* warm, std::uint64_t k,
                         std::uint64_t beam_l, const std::vector<std::uint32_t>* order) {
  const std::uint64_t n = dataset.n();
  VELNOR_ASSERT(graph.size() == n, "graph and dataset sizes differ");
  VELNOR_ASSERT(warm == nullptr || warm->size() == n, "warm lists must hold one list per row");
  const std::uint64_t stride = self_stride(n, k);
  // A beam never holds more than the n rows: a wider one changes no result.
  const std::uint64_t L = std::min(std::max(stride, beam_l), n);

  struct Worker {
    explicit Worker(std::uint64_t n) : scratch(n) { seeds.reserve(64); }
    Scratch scratch;
    std::vector<std::uint32_t> seeds;
    std::vector<Candidate> row;
  };

  // The searches run over the renumbered copy, row by row in its order, so
  // consecutive rows search overlapping neighbourhoods stored close together;
  // results are mapped back to the original ids as they are written.
  begin_stage("search", n);
  const LocalityCopy copy(dataset, graph, order);
  KnnResult result = zeroed_result(n, stride);
  parallel_for(
      n, [&] { return Worker(n); },
      [&](Worker& w, std::size_t t) {
        const auto local = static_cast<std::uint32_t>(t);
        const std::uint32_t self = copy.original(local);
        w.seeds.assign(1, local);
        if (warm != nullptr) {
          for (const Candidate& c : (*warm)[self]) {
            VELNOR_ASSERT(c.id < n, "warm list id out of range");
            w.seeds.push_back(copy.local(c.id));
          }
        }
        const std::vector<Candidate> found = beam_search(
            copy.dataset(), copy.graph(), w.seeds, copy.dataset().row(local), L, w.scratch);
        // The row itself first, with its own computed distance when the search
        // kept it; then the others in search order.
        w.row.assign(1, Candidate{self, 0.0f});
        for (const Candidate& c : found) {
          if (c.id == local) {
            w.row.front().dist = c.dist;
          } else if (w.row.size() < stride) {
            w.row.push_back(Candidate{copy.original(c.id), c.dist});
          }
        }
        write_row(result, self, dataset.metric(), w.row, Candidate{self, 0.0f});
      },
      {.counted = true});
  return result;
}

KnnResult knn_self_reservoir(const Dataset& dataset, const Graph& graph,
                             const std::vector<std::vector<Candidate>>& cands, std::uint64_t k,
                             bool expand) {
  const std::uint64_t n = dataset.n();
  VELNOR_ASSERT(graph.size() == n, "graph and dataset sizes differ");
  VELNOR_ASSERT(cands.size() == n, "candidate lists must hold one list per row");
  const std::uint64_t stride = self_stride(n, k);

  struct Worker {
    Worker() { pool.reserve(64); }
    std::vector<std::uint32_t> pool;  // ids to rank
    std::vector<float> dist;          // their distances to the row
    std::vector<Candidate> row;       // the row itself, then the ranked pairs
  };

  begin_stage("search", n);
  const std::vector<std::uint32_t> order = locality_order(graph);
  KnnResult result = zeroed_result(n, stride);
  parallel_for(
      n, [] { return Worker(); },
      [&](Worker& w, std::size_t t) {
        const std::uint32_t self = order[t];
        const std::uint64_t i = self;
        const std::vector<Candidate>& list = cands[i];
        w.pool.clear();
        for (const Candidate& c : list) w.pool.push_back(c.id);
        if (expand) {
          const auto add_neighbours = [&](std::uint32_t node) {
            VELNOR_ASSERT(node < n, "candidate id out of range");
            const auto nbrs = graph.neighbors_of(node);
            w.pool.insert(w.pool.end(), nbrs.begin(), nbrs.end());
          };
          add_neighbours(self);
          const std::size_t nearest = std::min(list.size(), kExpandedCandidates);
          for (std::size_t c = 0; c < nearest; ++c) add_neighbours(list[c].id);
        }
        std::sort(w.pool.begin(), w.pool.end());
        w.pool.erase(std::unique(w.pool.begin(), w.pool.end()), w.pool.end());
        w.pool.erase(std::remove(w.pool.begin(), w.pool.end(), self), w.pool.end());

        w.dist.resize(w.pool.size());
        distances_to(dataset, dataset.row(i), w.pool.data(), w.pool.size(), w.dist.data());
        w.row.assign(1, Candidate{self, 0.0f});
        for (std::size_t j = 0; j < w.pool.size(); ++j) {
          if (std::isnan(w.dist[j])) throw Error(kNanDistance);
          w.row.push_back({w.pool[j], w.dist[j]});
        }
        const auto ranked = w.row.begin() + 1;
        if (static_cast<std::uint64_t>(w.row.end() - ranked) > k) {
          std::nth_element(ranked, ranked + static_cast<std::ptrdiff_t>(k), w.row.end(), nearer);
          w.row.resize(1 + k);
        }
        std::stable_sort(ranked, w.row.end(), nearer);
        write_row(result, i, dataset.metric(), w.row, Candidate{self, 0.0f});
      },
      {.counted = true});
  return result;
}

}  // namespace velnor
