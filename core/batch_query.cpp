#include "core/batch_query.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/search/beam_search.hpp"
#include "core/search/pivots.hpp"

namespace velnor {

namespace {

// Pivots of a candidate list whose graph neighbours join its pool.
constexpr std::size_t kExpandedCandidates = 6;

constexpr const char* kNanDistance =
    "NaN distance in a k-NN query: the query or a data row holds NaN or infinity";

bool nearer(const Candidate& a, const Candidate& b) { return a.dist < b.dist; }

// Row width of self-kNN: the row itself plus k neighbours, at most n.
std::uint64_t self_stride(std::uint64_t n, std::uint64_t k) {
  const std::uint64_t wanted = k == UINT64_MAX ? k : k + 1;
  return std::min(std::max<std::uint64_t>(n, 1), wanted);
}

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

// Per-worker state of external queries.
struct QueryWorker {
  QueryWorker(const Dataset& dataset, const PivotPlan& plan)
      : scratch(dataset.n()), pivots(dataset, plan) {}
  Scratch scratch;
  PivotSeeds pivots;
};

}  // namespace

KnnResult knn_query(const Dataset& dataset, const Graph& graph, std::span<const float> queries,
                    std::uint64_t n_q, std::uint64_t k, std::uint64_t beam_l) {
  if (k == 0) throw InvalidArgument("n_neighbors must be at least 1 to query the index");
  const std::uint64_t n = dataset.n();
  const std::uint64_t d = dataset.d();
  if (n == 0) throw InvalidArgument("cannot query an index over an empty base matrix");
  const bool overflow = d != 0 && n_q > UINT64_MAX / d;
  VELNOR_ASSERT(!overflow && queries.size() == n_q * d, "query data length must equal n_q*d");
  VELNOR_ASSERT(graph.size() == n, "graph and dataset sizes differ");

  const std::uint64_t stride = std::min(n, k);
  const std::uint64_t L = std::max(stride, beam_l);
  const PivotPlan plan = pivot_plan(n, L);

  // Queries go in fixed blocks, one GEMM against the pivots per block; the
  // seeds do not depend on the blocking, so neither does any result.
  const std::uint64_t block = PivotSeeds::kBlock;
  KnnResult result = zeroed_result(n_q, stride);
  parallel_for(
      (n_q + block - 1) / block, [&] { return QueryWorker(dataset, plan); },
      [&](QueryWorker& w, std::size_t b) {
        const std::uint64_t first = b * block, rows = std::min(block, n_q - first);
        w.pivots.load_block(queries.data() + first * d, rows);
        for (std::uint64_t r = 0; r < rows; ++r) {
          const float* query = queries.data() + (first + r) * d;
          const std::span<const std::uint32_t> seeds = w.pivots.nearest(query, r);
          const std::vector<Candidate> found =
              beam_search(dataset, graph, seeds, query, L, w.scratch);
          const Candidate pad = found.empty() ? Candidate{graph.medoid, 0.0f} : found.back();
          write_row(result, first + r, dataset.metric(), found, pad);
        }
      });
  return result;
}

KnnResult knn_self_graph(const Dataset& dataset, const Graph& graph,
                         const std::vector<std::vector<Candidate>>* warm, std::uint64_t k,
                         std::uint64_t beam_l) {
  const std::uint64_t n = dataset.n();
  VELNOR_ASSERT(graph.size() == n, "graph and dataset sizes differ");
  VELNOR_ASSERT(warm == nullptr || warm->size() == n, "warm lists must hold one list per row");
  const std::uint64_t stride = self_stride(n, k);
  const std::uint64_t L = std::max(stride, beam_l);

  struct Worker {
    explicit Worker(std::uint64_t n) : scratch(n) { seeds.reserve(64); }
    Scratch scratch;
    std::vector<std::uint32_t> seeds;
    std::vector<Candidate> row;
  };

  KnnResult result = zeroed_result(n, stride);
  parallel_for(
      n, [&] { return Worker(n); },
      [&](Worker& w, std::size_t i) {
        const auto self = static_cast<std::uint32_t>(i);
        w.seeds.assign(1, self);
        if (warm != nullptr) {
          for (const Candidate& c : (*warm)[i]) w.seeds.push_back(c.id);
        }
        const std::vector<Candidate> found =
            beam_search(dataset, graph, w.seeds, dataset.row(i), L, w.scratch);
        // The row itself first, with its own computed distance when the search
        // kept it; then the others in search order.
        w.row.assign(1, Candidate{self, 0.0f});
        for (const Candidate& c : found) {
          if (c.id == self) {
            w.row.front().dist = c.dist;
          } else if (w.row.size() < stride) {
            w.row.push_back(c);
          }
        }
        write_row(result, i, dataset.metric(), w.row, Candidate{self, 0.0f});
      });
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

  KnnResult result = zeroed_result(n, stride);
  parallel_for(
      n, [] { return Worker(); },
      [&](Worker& w, std::size_t i) {
        const auto self = static_cast<std::uint32_t>(i);
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
      });
  return result;
}

}  // namespace velnor
