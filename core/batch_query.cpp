#include "core/batch_query.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/search/beam_search.hpp"
#include "core/search/search_index.hpp"

namespace velnor {

namespace {

// A row's nearest candidates whose graph neighbours join its pool.
constexpr std::size_t kExpandedCandidates = 6;

constexpr const char* kNanDistance =
    "NaN distance in a k-NN query: the query or a data row holds NaN or infinity";

bool nearer(const Candidate& a, const Candidate& b) { return a.dist < b.dist; }

// Squared distances from `query` to rows ids[0..count) of the dataset.
void distances_to(const Dataset& ds, const float* query, const std::uint32_t* ids,
                  std::size_t count, float* out) {
  sq_l2_each(query, count, ds.d(), [&](std::size_t j) { return ds.row(ids[j]); }, out);
}

}  // namespace

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
  const SearchIndex copy(dataset, graph,
                         order != nullptr ? *order : locality_order(graph));
  const SearchView search = copy.view();
  KnnResult result = KnnResult::zeroed(n, stride);
  parallel_for(
      n, [&] { return Worker(n); },
      [&](Worker& w, std::size_t t) {
        const auto local = static_cast<std::uint32_t>(t);
        const std::uint32_t self = copy.original(local);
        w.seeds.assign(1, local);
        if (warm != nullptr) {
          for (const Candidate& c : (*warm)[self]) {
            VELNOR_ASSERT(c.id < n, "warm list id out of range");
            w.seeds.push_back(copy.node_of(c.id));
          }
        }
        const std::vector<Candidate> found =
            beam_search(search, w.seeds, search.row(local), L, w.scratch);
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
        result.write_row(self, dataset.metric(), w.row, Candidate{self, 0.0f});
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
  KnnResult result = KnnResult::zeroed(n, stride);
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
        result.write_row(i, dataset.metric(), w.row, Candidate{self, 0.0f});
      },
      {.counted = true});
  return result;
}

}  // namespace velnor
