#include "core/graph.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/candidate.hpp"
#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"

namespace velnor {

Graph Graph::from_adjacency(std::vector<std::vector<std::uint32_t>> lists,
                            std::uint32_t medoid) {
  Graph graph;
  graph.offsets.reserve(lists.size() + 1);
  for (auto& list : lists) {
    graph.neighbors.insert(graph.neighbors.end(), list.begin(), list.end());
    graph.offsets.push_back(graph.neighbors.size());
    std::vector<std::uint32_t>().swap(list);
  }
  graph.medoid = medoid;
  return graph;
}

std::uint32_t approx_medoid(const Dataset& dataset) {
  const std::uint64_t n = dataset.n(), d = dataset.d();
  if (n == 0) return 0;
  std::vector<float> centroid(d, 0.0f);
  for (std::uint64_t i = 0; i < n; ++i) {
    const float* row = dataset.row(i);
    for (std::uint64_t k = 0; k < d; ++k) centroid[k] = centroid[k] + row[k];
  }
  const float inv = 1.0f / static_cast<float>(n);
  for (float& c : centroid) c = c * inv;

  std::uint32_t best = 0;
  float best_dist = std::numeric_limits<float>::infinity();
  for (std::uint64_t i = 0; i < n; ++i) {
    const float dist = sq_l2(dataset.row(i), centroid.data(), d);
    if (dist < best_dist) {
      best_dist = dist;
      best = static_cast<std::uint32_t>(i);
    }
  }
  return best;
}

namespace {

// The merged segments of all nodes in one flat array: node i's out-neighbours
// and the source of every edge into i, at flat[offsets[i] .. offsets[i+1]).
struct MergedEdges {
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint32_t> flat;
};

MergedEdges merge_reverse_edges(const AdjacencyTable& pruned) {
  const std::uint64_t n = pruned.size();
  std::vector<std::uint32_t> count(n, 0);
  for (std::uint64_t i = 0; i < n; ++i) {
    count[i] += pruned.degree[i];
    for (const std::uint32_t j : pruned.row(i)) {
      VELNOR_ASSERT(j < n, "neighbour id out of range");
      ++count[j];
    }
  }
  MergedEdges merged;
  merged.offsets.resize(n + 1);
  merged.offsets[0] = 0;
  for (std::uint64_t i = 0; i < n; ++i) merged.offsets[i + 1] = merged.offsets[i] + count[i];
  std::vector<std::uint64_t> cursor(merged.offsets.begin(), merged.offsets.end() - 1);
  merged.flat.resize(merged.offsets[n]);
  for (std::uint64_t i = 0; i < n; ++i) {
    for (const std::uint32_t j : pruned.row(i)) {
      merged.flat[cursor[i]++] = j;
      merged.flat[cursor[j]++] = static_cast<std::uint32_t>(i);
    }
  }
  return merged;
}

struct CapBuffers {
  std::vector<std::uint32_t> ids;
  std::vector<Candidate> scored;
};

// Node i's merged list, without itself and duplicates, cut to its r nearest.
void cap_row(std::uint64_t i, const MergedEdges& merged, const Dataset& dataset,
             AdjacencyTable& out, CapBuffers& buf) {
  const std::uint64_t r = out.r;
  buf.ids.clear();
  for (std::uint64_t e = merged.offsets[i]; e < merged.offsets[i + 1]; ++e) {
    if (merged.flat[e] != i) buf.ids.push_back(merged.flat[e]);
  }
  std::sort(buf.ids.begin(), buf.ids.end());
  buf.ids.erase(std::unique(buf.ids.begin(), buf.ids.end()), buf.ids.end());

  std::uint32_t* row = out.ids.data() + i * r;
  if (buf.ids.size() <= r) {
    std::copy(buf.ids.begin(), buf.ids.end(), row);
    out.degree[i] = static_cast<std::uint32_t>(buf.ids.size());
    return;
  }
  const std::uint64_t d = dataset.d();
  const float* node = dataset.row(i);
  buf.scored.clear();
  sq_l2_each(
      node, buf.ids.size(), d, [&](std::size_t p) { return dataset.row(buf.ids[p]); },
      [&](std::size_t p, float dist) { buf.scored.push_back({buf.ids[p], dist}); });
  for (const Candidate& c : buf.scored) {
    VELNOR_ASSERT(!std::isnan(c.dist), "NaN distance in the graph's degree cut: input holds NaN or infinity");
  }
  std::nth_element(buf.scored.begin(), buf.scored.begin() + static_cast<std::ptrdiff_t>(r),
                   buf.scored.end(),
                   [](const Candidate& a, const Candidate& b) { return a.dist < b.dist; });
  for (std::uint64_t t = 0; t < r; ++t) row[t] = buf.scored[t].id;
  out.degree[i] = static_cast<std::uint32_t>(r);
}

}  // namespace

AdjacencyTable symmetrize_flat(const AdjacencyTable& pruned, const Dataset& dataset,
                               std::span<const std::uint32_t> visit) {
  const std::uint64_t n = pruned.size();
  VELNOR_ASSERT(n == dataset.n(), "adjacency table and dataset differ in size");
  VELNOR_ASSERT(visit.empty() || visit.size() == n, "visit order must hold every node");
  MergedEdges merged = merge_reverse_edges(pruned);
  AdjacencyTable out(n, pruned.r);
  parallel_for(
      n, [] { return CapBuffers{}; },
      [&](CapBuffers& buf, std::size_t at) {
        cap_row(visit.empty() ? at : visit[at], merged, dataset, out, buf);
      },
      {.chunk = 256, .counted = true});
  return out;
}

Graph assemble_graph(const AdjacencyTable& table, std::uint32_t medoid) {
  const std::uint64_t n = table.size();
  std::vector<std::uint64_t> offsets(n + 1, 0);
  for (std::uint64_t i = 0; i < n; ++i) offsets[i + 1] = offsets[i] + table.degree[i];
  Graph graph;
  graph.offsets = std::move(offsets);
  graph.neighbors.resize(graph.offsets[n]);
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto row = table.row(i);
    std::copy(row.begin(), row.end(), graph.neighbors.begin() + static_cast<std::ptrdiff_t>(graph.offsets[i]));
  }
  graph.medoid = medoid;
  return graph;
}

}  // namespace velnor
